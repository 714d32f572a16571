#pragma once

#include <CLI/CLI.hpp>

namespace QXCli {

// Options every command shares, and the exit code the chosen command leaves: 0 yes/found/done,
// 1 no/none/refused, 2 a usage or system error (with a one-line message on standard error).
struct Global {
    bool json = false;
    bool verbose = false;
    int exitCode = 0;
};

// Each command group adds its subcommands to the program; main() calls every one of them.
void AddDiscoverCommands(CLI::App& app, Global& global);

}  // namespace QXCli
