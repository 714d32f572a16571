// Broadcast discovery: send one request towards a broadcast address and list the cameras that
// answer. Defaults to loopback (127.255.255.255, port 10069), where `qxcam-sim` answers; give a
// real subnet's broadcast address only on a network you mean to search.
//   qxnet-example-discover [BROADCAST_ADDRESS] [PORT]
#include <cstdio>
#include <cstdlib>
#include <set>

#include <boost/make_shared.hpp>

#include "QXExampleArgs.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXException.h"
#include "qxnet/tftp/QXTFTPClient.h"

int main(int argc, char** argv) {
    const char* target = argc > 1 ? argv[1] : "127.255.255.255";
    const int port = argc > 2 ? std::atoi(argv[2]) : 10069;
    std::uint32_t parsed = 0;
    if (!ParseIPv4(target, parsed) || !StartQuietly()) {
        return 2;
    }
    int found = 0;
    try {
        // Any local address, normal packets, 3 retries, any local port.
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, false, 3, 0, 0);
        client.Open(parsed, port);
        const unsigned char request[] = "qx-discover";
        std::set<QXSDK::CameraData> cameras;
        client.Broadcast(request, sizeof request - 1, &cameras);
        for (const auto& camera : cameras) {
            std::printf("%ls  %ls  firmware %u\n", camera.MacText().c_str(),
                        QX::AddressToText(camera.ip).c_str(), static_cast<unsigned>(camera.fwVer));
        }
        found = static_cast<int>(cameras.size());
        client.Close();
    } catch (const QX::Exception& e) {
        std::fprintf(stderr, "%ls", e.text);
        QXSDK::TFTPClient::Cleanup();
        return 2;
    }
    QXSDK::TFTPClient::Cleanup();
    std::printf("%d camera(s)\n", found);
    return found > 0 ? 0 : 1;
}
