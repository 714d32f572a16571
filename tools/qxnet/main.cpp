// qxnet: the library's functions from the command line, for people (tables) and programs (--json).
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "qxnet/QXVersion.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"

namespace {

const char kFooter[] = R"(Exit codes: 0 found/done, 1 none/refused, 2 usage or system error.
Nothing is sent to the real network unless you name its addresses: commands that would
broadcast default to loopback (127.255.255.255) and say so in their --help.

Example:
  qxnet demo                       simulated cameras on loopback, found by broadcast
  qxnet discover --address 127.255.255.255 --port 10069 --json)";

}  // namespace

int main(int argc, char** argv) {
    QXCli::Global global;
    CLI::App app{"qxnet: find and talk to cameras with the QXNet library", "qxnet"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("qxnet ") + QXNET_VERSION_STRING);
    app.add_flag("--json", global.json, "Output for programs: one JSON document");
    app.add_flag("-v,--verbose", global.verbose, "Show the library's trace lines on stderr");
    // The shared flags may also follow the command: qxnet discover --json.
    app.fallthrough();
    app.require_subcommand(1);

    QXCli::AddDiscoverCommands(app, global);
    QXCli::AddDemoCommands(app, global);
    QXCli::AddNetCommands(app, global);
    QXCli::AddMdnsCommands(app, global);
    QXCli::AddHttpCommands(app, global);
    QXCli::AddTransferCommands(app, global);

    int code = 0;
    try {
        app.parse(argc, argv);
        code = global.exitCode;
    } catch (const CLI::CallForHelp& e) {
        code = app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        code = app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        code = app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A word where the command belongs that names none is the usual slip: name it.
        const std::vector<std::string> left = app.remaining();
        code = app.get_subcommands().empty() && !left.empty() && left.front().rfind('-', 0) != 0
                   ? QXCli::Error("unknown command \"" + left.front() + "\" (see qxnet --help)")
                   : QXCli::Error(std::string(e.what()) + " (see qxnet --help)");
    }
    // Output that never arrived is a failure, however the command ended; a command that has
    // already said why it failed keeps its one line.
    std::string reason;
    if (!QXCli::FinishStandardOutput(reason) && code != 2) {
        code = QXCli::Error("cannot write standard output: " + reason);
    }
    return code;
}
