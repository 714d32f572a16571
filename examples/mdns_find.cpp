// Discovery by multicast DNS on one interface. The local address picks the interface; it
// defaults to 127.0.0.1 so that nothing leaves this host unless you name a real interface's
// address.
//   qxnet-example-mdns-find [LOCAL_ADDRESS]
#include <cstdio>

#include <boost/make_shared.hpp>

#include "QXExampleArgs.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/tftp/QXTFTPClient.h"

int main(int argc, char** argv) {
    const char* local = argc > 1 ? argv[1] : "127.0.0.1";
    std::uint32_t parsed = 0;
    if (!ParseIPv4(local, parsed) || !StartQuietly()) {
        return 2;
    }
    int rc = 1;
    {
        auto lock = boost::make_shared<QX::CodeLock>();
        QXSDK::MDNSClient client(lock, parsed);
        // Open starts the socket thread; the destructor ends it.
        if (!client.Open()) {
            std::fprintf(stderr, "cannot open an mDNS socket on %s\n", local);
            rc = 2;
        } else {
            QXSDK::MDNSClient::CameraMap cameras;
            client.QueryKorvaneCams(false, cameras);
            for (const auto& [mac, camera] : cameras) {
                std::printf("%012llx  %ls  %s\n", static_cast<unsigned long long>(mac),
                            QX::AddressToText(camera.m_ip).c_str(), camera.m_model.c_str());
            }
            rc = cameras.empty() ? 1 : 0;
        }
    }
    QXSDK::TFTPClient::Cleanup();
    return rc;
}
