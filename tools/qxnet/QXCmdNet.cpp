// The host's own network: interfaces, address and neighbour tables, the subnet test, ping, the
// free-address search and the neighbour flush.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXNetInfo.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"

namespace QXCli {

namespace {

std::string Dotted(std::uint32_t hostOrder) {
    return Narrow(QX::AddressToText(hostOrder));
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string MacText(const unsigned char* bytes, DWORD length) {
    std::string text;
    for (DWORD i = 0; i < length; ++i) {
        char octet[4];
        std::snprintf(octet, sizeof octet, i == 0 ? "%02x" : ":%02x", bytes[i]);
        text += octet;
    }
    return text;
}

// InterfaceList::Open prints two lines per adapter on standard output. They are no part of this
// program's output (a table, or one JSON document): they go to standard error with --verbose
// and nowhere otherwise.
int OpenInterfaces(QX::InterfaceList& list, bool verbose) {
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int target = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || target < 0 || dup2(target, STDOUT_FILENO) < 0) {
        for (int fd : {saved, target}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        throw std::runtime_error("cannot set standard output aside");
    }
    int result = list.Open();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(target);
    return result;
}

std::string ResultText(int result) {
    const wchar_t* message = QX::ResultMessage(static_cast<std::uint32_t>(result));
    return message != nullptr ? Narrow(message) : Hex(static_cast<std::uint32_t>(result));
}

int Interfaces(Global& global) {
    QX::InterfaceList list;
    int result = OpenInterfaces(list, global.verbose);
    if (result != 0) {
        return Error("ifaces: " + ResultText(result));
    }
    nlohmann::json items = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < list.GetSize(); ++i) {
        std::string address = Dotted(list.GetAddress(i, true));
        std::string broadcast = Dotted(list.GetBroadcast(i, true));
        std::string mask = Dotted(list.GetMask(i, true));
        std::string name = Narrow(list.GetName(i));
        std::string description = Narrow(list.GetDescription(i));
        items.push_back({{"address", address},
                         {"broadcast", broadcast},
                         {"mask", mask},
                         {"name", name},
                         {"description", description}});
        rows.push_back({address, broadcast, mask, name, description});
    }
    if (global.json) {
        PrintJson(std::cout, {{"count", list.GetSize()}, {"interfaces", items}});
    } else {
        PrintTable(std::cout, {"ADDRESS", "BROADCAST", "MASK", "NAME", "DESCRIPTION"}, rows);
    }
    return list.GetSize() > 0 ? 0 : 1;
}

struct AddrSettings {
    std::string low;
    std::string high;
};

int Addresses(Global& global, const AddrSettings& settings) {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    if ((!settings.low.empty() && !ParseAddress(settings.low, low)) ||
        (!settings.high.empty() && !ParseAddress(settings.high, high))) {
        return Error("addrs: --from and --to take a.b.c.d");
    }
    MIB_IPADDRTABLE* table = nullptr;
    int count = GetLocalAddrTable(&table, low, high);
    std::unique_ptr<MIB_IPADDRTABLE, void (*)(MIB_IPADDRTABLE*)> owner(table, FreeLocalAddrTable);
    nlohmann::json items = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < count; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        // The table's broadcast field is 1 where the broadcast address has all host bits set.
        std::uint32_t broadcast =
            row.dwBCastAddr == 1 ? (row.dwAddr | ~row.dwMask) : row.dwBCastAddr;
        items.push_back({{"index", row.dwIndex},
                         {"address", Dotted(QX::SwapAddress(row.dwAddr))},
                         {"mask", Dotted(QX::SwapAddress(row.dwMask))},
                         {"broadcast", Dotted(QX::SwapAddress(broadcast))},
                         {"type", row.wType}});
        rows.push_back({std::to_string(row.dwIndex), Dotted(QX::SwapAddress(row.dwAddr)),
                        Dotted(QX::SwapAddress(row.dwMask)), Dotted(QX::SwapAddress(broadcast)),
                        Hex(row.wType)});
    }
    if (global.json) {
        PrintJson(std::cout, {{"count", count}, {"addresses", items}});
    } else {
        PrintTable(std::cout, {"INDEX", "ADDRESS", "MASK", "BROADCAST", "TYPE"}, rows);
    }
    return count > 0 ? 0 : 1;
}

const char* NeighbourType(DWORD type) {
    switch (type) {
        case MIB_IPNET_TYPE_STATIC:
            return "static";
        case MIB_IPNET_TYPE_DYNAMIC:
            return "dynamic";
        case MIB_IPNET_TYPE_INVALID:
            return "invalid";
        default:
            return "other";
    }
}

// The whole neighbour table, rows without a physical address included, read in the same two
// steps as the library's own fetch.
int AllNeighbours(Global& global) {
    QX::NetInfoSource& source = QX::NetInfoSource::Current();
    DWORD size = 0;
    std::vector<unsigned char> block;
    DWORD answer = source.GetIpNetTable(nullptr, &size, false);
    // An empty table answers "no data": an empty table to show.
    if (answer == QX::NetInfoError::NoData) {
        size = sizeof(MIB_IPNETTABLE);
    } else if (answer != QX::NetInfoError::InsufficientBuffer) {
        return Error("neigh: the neighbour table cannot be read");
    }
    block.resize(size);
    auto* table = reinterpret_cast<MIB_IPNETTABLE*>(block.data());
    if (answer != QX::NetInfoError::NoData &&
        source.GetIpNetTable(table, &size, false) != QX::NetInfoError::Success) {
        return Error("neigh: the neighbour table changed while it was read; try again");
    }
    nlohmann::json items = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPNETROW& row = table->table[i];
        DWORD length = row.dwPhysAddrLen > MAXLEN_PHYSADDR ? MAXLEN_PHYSADDR : row.dwPhysAddrLen;
        std::string mac = MacText(row.bPhysAddr, length);
        items.push_back({{"index", row.dwIndex},
                         {"address", Dotted(QX::SwapAddress(row.dwAddr))},
                         {"mac", mac},
                         {"type", NeighbourType(row.dwType)}});
        rows.push_back({std::to_string(row.dwIndex), Dotted(QX::SwapAddress(row.dwAddr)),
                        mac.empty() ? "-" : mac, NeighbourType(row.dwType)});
    }
    if (global.json) {
        PrintJson(std::cout, {{"count", table->dwNumEntries}, {"neighbours", items}});
    } else {
        PrintTable(std::cout, {"INDEX", "ADDRESS", "MAC", "TYPE"}, rows);
    }
    return table->dwNumEntries > 0 ? 0 : 1;
}

int NeighboursOfMac(Global& global, const std::string& macText) {
    std::string hex = macText;
    for (char& c : hex) {
        c = c == '-' ? ':' : c;
    }
    std::vector<std::uint8_t> bytes;
    if (!ParseHex(hex, bytes) || bytes.empty() || bytes.size() > 8) {
        return Error("neigh: --mac takes up to 8 bytes, e.g. 02:11:22:33:44:55");
    }
    std::unique_ptr<QX::CNetTable> table(QX::CNetTable::GetLocalNetAddresses());
    if (!table) {
        return Error("neigh: the neighbour table cannot be read");
    }
    std::uint64_t mac =
        table->NetworkToHostQWORD(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    std::vector<std::uint32_t> addresses = table->GetIPAddressesOfMac(mac);
    std::string normal = MacText(bytes.data(), static_cast<DWORD>(bytes.size()));
    if (global.json) {
        nlohmann::json list = nlohmann::json::array();
        for (std::uint32_t address : addresses) {
            list.push_back(Dotted(address));
        }
        PrintJson(std::cout, {{"mac", normal}, {"addresses", list}});
    } else if (addresses.empty()) {
        std::cout << "No neighbour has " << normal << "\n";
    } else {
        std::vector<std::vector<std::string>> rows;
        for (std::uint32_t address : addresses) {
            rows.push_back({Dotted(address), normal});
        }
        PrintTable(std::cout, {"ADDRESS", "MAC"}, rows);
    }
    return addresses.empty() ? 1 : 0;
}

struct CheckSettings {
    std::string address;
    int index = -1;
};

int Check(Global& global, const CheckSettings& settings) {
    std::uint32_t address = 0;
    ParseAddress(settings.address, address);
    QX::InterfaceList list;
    int opened = OpenInterfaces(list, global.verbose);
    if (opened != 0) {
        return Error("check: " + ResultText(opened));
    }
    int result = settings.index < 0 ? list.IsValidAddress(address, false)
                                    : list.IsValidAddress(settings.index, address, false);
    std::string verdict = result == 0 ? "inside" : result == 1 ? "outside" : "invalid";
    if (global.json) {
        PrintJson(std::cout, {{"address", settings.address},
                              {"interface", settings.index < 0 ? nlohmann::json(nullptr)
                                                               : nlohmann::json(settings.index)},
                              {"result", verdict},
                              {"code", Hex(static_cast<std::uint32_t>(result))}});
    } else if (result == 0 || result == 1) {
        std::cout << settings.address << " is " << verdict << " the local subnet"
                  << (settings.index < 0 ? "s" : " of interface " + std::to_string(settings.index))
                  << "\n";
    }
    if (result != 0 && result != 1) {
        return Error("check: " + settings.address + ": " + ResultText(result) +
                     (QX::IsReservedAddress(address)
                          ? " (a reserved address: x.x.x.0, x.x.x.255, 0.0.0.x, 127.0.0.x, "
                            "192.0.2.x, 192.88.99.x, 198.18.0.x or 224-247.x.x.x)"
                          : " (no interface " + std::to_string(settings.index) + ")"));
    }
    return result;
}

struct PingSettings {
    std::string address;
    bool raw = false;
    unsigned timeout = 1000;
};

int PingCommand(Global& global, const PingSettings& settings) {
    std::uint32_t address = 0;
    ParseAddress(settings.address, address);
    int result =
        settings.raw ? QX::Ping(QX::SwapAddress(address)) : QX::PingICMP(address, settings.timeout);
    // The raw ping reports a silent address as a time-out, the echo facility as plain 1.
    bool answered = result == 0;
    bool silent = settings.raw ? result == static_cast<int>(QX::ResultCode::TimedOut) : result == 1;
    if (global.json) {
        PrintJson(std::cout, {{"address", settings.address},
                              {"method", settings.raw ? "raw" : "echo"},
                              {"answered", answered},
                              {"code", Hex(static_cast<std::uint32_t>(result))}});
    } else if (answered || silent) {
        std::cout << settings.address << (answered ? " answered\n" : " did not answer\n");
    }
    if (!answered && !silent) {
        std::wstring reason = settings.raw ? std::wstring() : QX::PingUnavailableReason();
        return Error("ping: " + ResultText(result) +
                     (settings.raw ? " (raw ICMP sockets need root or CAP_NET_RAW)"
                      : reason.empty()
                          ? " (ICMP needs net.ipv4.ping_group_range, root or CAP_NET_RAW)"
                          : ": " + Narrow(reason)));
    }
    return answered ? 0 : 1;
}

struct FreeSettings {
    std::string start;
    std::string end;
};

// The search's progress line: each address found taken moves it one step.
struct FreeProgress {
    Progress* line;
    std::uint32_t start;
    static void Taken(std::uint32_t address, void* context) {
        const auto* self = static_cast<const FreeProgress*>(context);
        self->line->Update(std::uint64_t{address} - self->start + 1);
    }
};

int Free(Global& global, const FreeSettings& settings) {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    ParseAddress(settings.start, start);
    if (!settings.end.empty()) {
        ParseAddress(settings.end, end);
        if (end < start) {
            return Error("free: the range ends (" + settings.end + ") before it starts (" +
                         settings.start + ")");
        }
    }
    std::uint32_t last = end == 0 ? (start | 0xFF000000u) : end;
    // Without ICMP every address looks free; an answer that may be an address in use is worse
    // than none.
    std::wstring unavailable = QX::PingUnavailableReason();
    if (!unavailable.empty()) {
        return Error("free: no address can be tested: " + Narrow(unavailable));
    }
    if (!global.json) {
        std::cerr << "Searching " << Dotted(start) << " to " << Dotted(last)
                  << "; a free address is confirmed only after 3.1 s of silence\n";
    }
    std::uint32_t found = 0;
    {
        Progress progress("searching", start <= last ? std::uint64_t{last} - start + 1 : 0);
        FreeProgress counter{&progress, start};
        found = QX::GetAvailableAddress(start, end, &FreeProgress::Taken, &counter);
    }
    if (global.json) {
        PrintJson(std::cout,
                  {{"start", Dotted(start)},
                   {"end", Dotted(last)},
                   {"free", found != 0 ? nlohmann::json(Dotted(found)) : nlohmann::json(nullptr)}});
    } else if (found != 0) {
        std::cout << Dotted(found) << "\n";
    } else {
        std::cout << "No free address from " << Dotted(start) << " to " << Dotted(last) << "\n";
    }
    return found != 0 ? 0 : 1;
}

int FlushNeighbours(Global& global, bool yes) {
    if (!yes) {
        std::cerr << "Empty the neighbour (ARP) cache of every Ethernet adapter? [y/N] ";
        std::string answer;
        if (!std::getline(std::cin, answer) ||
            (answer != "y" && answer != "Y" && answer != "yes")) {
            if (global.json) {
                PrintJson(std::cout, {{"flushed", false}});
            } else {
                std::cout << "Nothing flushed\n";
            }
            return 1;
        }
    }
    QX::FlashARP();
    if (global.json) {
        PrintJson(std::cout, {{"flushed", true}});
    } else {
        std::cout << "Flushed the neighbour cache of the Ethernet adapters\n";
    }
    return 0;
}

}  // namespace

void AddNetCommands(CLI::App& app, Global& global) {
    CLI::App* ifaces = app.add_subcommand("ifaces", "List the host's IPv4 interfaces");
    ifaces->footer(
        "Shows address, broadcast address, mask, name and description; 127.0.0.1 is never "
        "listed.\n\nExample:\n  qxnet ifaces --json");
    ifaces->callback(Action(global, [&global] { return Interfaces(global); }));

    auto addr = std::make_shared<AddrSettings>();
    CLI::App* addrs = app.add_subcommand("addrs", "Show the IP address table (127.0.0.1 left out)");
    addrs->add_option("--from", addr->low, "Lowest address to show (with --to)")->check(CheckIPv4);
    addrs->add_option("--to", addr->high, "Highest address to show (with --from)")
        ->check(CheckIPv4);
    addrs->footer("Example:\n  qxnet addrs --from 192.168.1.0 --to 192.168.1.255");
    addrs->callback(Action(global, [&global, addr] { return Addresses(global, *addr); }));

    auto mac = std::make_shared<std::string>();
    CLI::App* neigh = app.add_subcommand("neigh",
                                         "Show the neighbour (ARP) table, or the "
                                         "addresses of one MAC");
    neigh->add_option("--mac", *mac, "Only the addresses of this MAC (02:11:22:33:44:55)");
    neigh->footer(
        "Exit code with --mac: 0 when some address has it, 1 when none.\n\nExample:\n"
        "  qxnet neigh --mac 02:11:22:33:44:55");
    neigh->callback(Action(global, [&global, mac] {
        return mac->empty() ? AllNeighbours(global) : NeighboursOfMac(global, *mac);
    }));

    auto check = std::make_shared<CheckSettings>();
    CLI::App* checkCommand =
        app.add_subcommand("check", "Is an address a host address inside a local subnet?");
    AddRequiredAddress(checkCommand, "address", check->address, "The address (a.b.c.d)");
    checkCommand
        ->add_option("-i,--interface", check->index,
                     "Test only this interface (its row in qxnet ifaces, from 0)")
        ->check(NonNegative);
    checkCommand->footer(
        "Exit code: 0 inside, 1 outside, 2 a reserved address or no such interface. An all-ones "
        "mask counts as /24.\n\nExample:\n  qxnet check 192.168.1.20 --interface 0");
    checkCommand->callback(Action(global, [&global, check] { return Check(global, *check); }));

    auto ping = std::make_shared<PingSettings>();
    CLI::App* pingCommand = app.add_subcommand("ping", "Send one ICMP echo request");
    AddRequiredAddress(pingCommand, "address", ping->address, "The address (a.b.c.d)");
    pingCommand->add_flag("--raw", ping->raw,
                          "Raw ICMP socket, five attempts of 200 microseconds (root or "
                          "CAP_NET_RAW)");
    pingCommand->add_option("-t,--timeout", ping->timeout, "Time-out in milliseconds")
        ->capture_default_str();
    pingCommand->footer(
        "Exit code: 0 answered, 1 no answer, 2 ICMP not available.\n\nExample:\n"
        "  qxnet ping 127.0.0.1 --timeout 300");
    pingCommand->callback(Action(global, [&global, ping] { return PingCommand(global, *ping); }));

    auto free = std::make_shared<FreeSettings>();
    CLI::App* freeCommand =
        app.add_subcommand("free", "Find the first address that nobody answers on");
    AddRequiredAddress(freeCommand, "start", free->start, "First address to test");
    freeCommand
        ->add_option("end", free->end,
                     "Last address to test (default: START with its first octet set to "
                     "255)")
        ->check(CheckIPv4);
    freeCommand->footer(
        "Each address gets up to three echo requests (100, 1500, 1500 ms): a free address costs "
        "3.1 s.\nWithout ICMP every address looks free.\n\nExample:\n"
        "  qxnet free 192.168.1.10 192.168.1.20");
    freeCommand->callback(Action(global, [&global, free] { return Free(global, *free); }));

    auto yes = std::make_shared<bool>(false);
    CLI::App* flush =
        app.add_subcommand("flush-neigh", "Empty the neighbour cache of every Ethernet adapter");
    flush->add_flag("-y,--yes", *yes, "Do not ask for confirmation");
    flush->footer(
        "Needs root or CAP_NET_ADMIN; permanent entries go too.\n\nExample:\n"
        "  qxnet flush-neigh --yes");
    flush->callback(Action(global, [&global, yes] { return FlushNeighbours(global, *yes); }));
}

}  // namespace QXCli
