// The host's own network: list the IPv4 interfaces and tell whether an address lies in one of
// their subnets. Nothing is sent.
//   qxnet-example-host-network [ADDRESS]
#include <cstdio>

#include "QXExampleArgs.h"
#include "qxnet/common/QXAddress.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/platform/QXDebugOutput.h"

int main(int argc, char** argv) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    QX::InterfaceList interfaces;
    // Open also prints two lines per adapter on standard output, as the library always has.
    if (interfaces.Open() != 0) {
        std::fprintf(stderr, "cannot read the interfaces\n");
        return 2;
    }
    std::printf("\n");
    for (int i = 0; i < interfaces.GetSize(); ++i) {
        std::printf(
            "%-16ls mask %-16ls %ls\n", QX::AddressToText(interfaces.GetAddress(i, true)).c_str(),
            QX::AddressToText(interfaces.GetMask(i, true)).c_str(), interfaces.GetName(i).c_str());
    }
    if (argc < 2) {
        return 0;
    }
    std::uint32_t address = 0;
    if (!ParseIPv4(argv[1], address)) {
        return 2;
    }
    // Host order in, so no swap.
    int inside = interfaces.IsValidAddress(address, false);
    std::printf("%s: %s\n", argv[1],
                inside == 0   ? "in a local subnet"
                : inside == 1 ? "outside"
                              : "reserved");
    return inside == 0 ? 0 : 1;
}
