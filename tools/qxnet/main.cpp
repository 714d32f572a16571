// qxnet: the library's functions from the command line, for people (tables) and programs (--json).
#include <CLI/CLI.hpp>
#include <string>

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return QXCli::Error(std::string(e.what()) + " (see qxnet --help)");
    }
    return global.exitCode;
}
