#include <iostream>
#include <memory>

#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"

namespace QXCli {

namespace {

struct NamedStep {
    std::string title;
    DemoStep step;
};

std::vector<NamedStep>& Steps() {
    static std::vector<NamedStep> steps;
    return steps;
}

int RunDemo(Global& global) {
    QXSim::Simulator simulator(QXSim::DemoCameras());
    QXSim::DiscoveryOptions options;
    options.port = 0;  // a free port, so the demo never collides with a running qxcam-sim
    auto& discovery =
        simulator.Add(std::make_unique<QXSim::DiscoveryResponder>(simulator, options));
    std::string error;
    if (!simulator.Start(error)) {
        return Error("demo: " + error);
    }
    nlohmann::json report = nlohmann::json::object();
    DemoContext context{simulator, global, discovery.Port(), report};
    if (!global.json) {
        std::cout << "Simulated cameras: " << simulator.Cameras().size()
                  << " on loopback, discovery port " << discovery.Port() << "\n";
    }
    for (const NamedStep& named : Steps()) {
        if (!global.json) {
            std::cout << "\n== " << named.title << "\n";
        }
        int code = named.step(context);
        if (code != 0) {
            if (global.json) {
                report["failedStep"] = named.title;
                PrintJson(std::cout, report);
            }
            return code;
        }
    }
    if (global.json) {
        PrintJson(std::cout, report);
    }
    return 0;
}

}  // namespace

void AddDemoStep(const std::string& title, DemoStep step) {
    Steps().push_back({title, std::move(step)});
}

void AddDemoCommands(CLI::App& app, Global& global) {
    CLI::App* demo = app.add_subcommand(
        "demo", "Start simulated cameras in this process on loopback and find them (end to end)");
    demo->footer(
        R"(The cameras (five, with extended blocks 0xD0, 0xCF, 0xCE and none) answer on a free
loopback port; they are found by broadcast to 127.255.255.255, so nothing leaves this machine.

Example:
  qxnet demo
  qxnet demo --json)");
    demo->callback(Action(global, [&global] { return RunDemo(global); }));
}

}  // namespace QXCli
