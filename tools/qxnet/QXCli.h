#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace QXSim {
class Simulator;
}

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
void AddDemoCommands(CLI::App& app, Global& global);
void AddNetCommands(CLI::App& app, Global& global);
void AddHttpCommands(CLI::App& app, Global& global);
void AddTransferCommands(CLI::App& app, Global& global);
void AddMdnsCommands(CLI::App& app, Global& global);
// Queries the mDNS service of the cameras on the interface with the local address (dotted text)
// and prints a table (or, with --json, fills *result only); 0 found, 1 none, 2 error.
int DiscoverMdns(Global& global, const std::string& local, nlohmann::json* result);

// The action of a command: runs body, whose return value becomes the exit code. A QX::Exception
// or std::exception that escapes becomes a one-line message and exit code 2.
std::function<void()> Action(Global& global, std::function<int()> body);

// A dotted IPv4 address as a host-order number (first octet most significant); false when the
// text is no address. CheckIPv4 is the same test as a CLI11 validator.
bool ParseAddress(const std::string& text, std::uint32_t& hostOrder);
extern const CLI::Validator CheckIPv4;
// A positional address that the command cannot do without, checked by CheckIPv4.
CLI::Option* AddRequiredAddress(CLI::App* command, const std::string& name, std::string& address,
                                const std::string& help);
// Refuses an empty text given for a name or value: "what" says what it names ("file name").
CLI::Validator NotEmpty(const std::string& what);
// A whole number of 0 or more (a row or a count where -1 would otherwise slip through).
extern const CLI::Validator NonNegative;
// Hexadecimal bytes ("0a1b2c", blanks and colons between bytes allowed); false when malformed.
bool ParseHex(const std::string& text, std::vector<std::uint8_t>& bytes);
// UTF-8 and wide text, both ways.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// `qxnet demo` runs its steps in the order they were added, against simulated cameras on
// loopback (the demo cameras of the simulator, already started with a discovery responder on
// discoveryPort). A step adds the services it needs to the simulator (Add, then Start again)
// and returns 0 when it succeeded; the demo stops at the first step that fails and exits with
// its code. With --json a step prints nothing and puts its result into report under a key of its
// own; the demo prints the report at the end. Command groups add their steps from their
// Add*Commands function, so the steps run in the order main() calls those.
struct DemoContext {
    QXSim::Simulator& simulator;
    Global& global;
    std::uint16_t discoveryPort;
    nlohmann::json& report;
};
using DemoStep = std::function<int(DemoContext&)>;
void AddDemoStep(const std::string& title, DemoStep step);

}  // namespace QXCli
