// The camera scanner: both discovery methods on several interfaces at once, one list by MAC.
// Without arguments it scans loopback only (where `qxcam-sim` answers); name interfaces
// (or their addresses) to scan them, or "all" for every interface of the host that is up; only
// on networks you mean to search.
//   qxnet-example-scan [PORT] [INTERFACE ...|all]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "QXExampleArgs.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/scan/QXCameraScanner.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace {

// Runs on a scanner thread, with the scanner's lock held: print and return.
void Seen(QXSDK::CameraScanner::Change change, const QXSDK::ScannedCamera& camera, void*) {
    if (change == QXSDK::CameraScanner::CAMERA_APPEARED) {
        std::printf("seen %012llx at %ls\n", static_cast<unsigned long long>(camera.mac),
                    QX::AddressToText(camera.Address()).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : QXSDK::CameraScanner::DefaultPort;
    std::vector<std::wstring> names;
    bool all = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "all") == 0) {
            all = true;
        } else {
            names.push_back(std::wstring(argv[i], argv[i] + std::strlen(argv[i])));
        }
    }
    if (names.empty() && !all) {
        names.push_back(L"127.0.0.1");  // loopback only
    }
    if (!StartQuietly()) {
        return 2;
    }
    QXSDK::CameraScanner scanner(boost::make_shared<QX::CodeLock>());
    scanner.SetInterfaceNames(names);
    const std::string request = QXSDK::CameraScanner::DefaultRequest;
    scanner.SetRequest(std::vector<std::uint8_t>(request.begin(), request.end()),
                       static_cast<std::uint16_t>(port));
    scanner.SetCallback(Seen, nullptr);
    std::vector<QXSDK::ScannedCamera> cameras;
    const int result = scanner.Scan(cameras);
    for (const QXSDK::CameraScanner::Failure& failure : scanner.GetFailures()) {
        std::fprintf(stderr, "skipped %ls: %ls\n", failure.interfaceName.c_str(),
                     failure.text.c_str());
    }
    for (const QXSDK::ScannedCamera& camera : cameras) {
        std::string flags;
        for (const std::string& flag : QXSDK::ScannedCamera::FlagNames(camera.flags)) {
            flags += " " + flag;
        }
        std::printf("%012llx  %ls  on %ls%s\n", static_cast<unsigned long long>(camera.mac),
                    QX::AddressToText(camera.Address()).c_str(), camera.interfaces.front().c_str(),
                    flags.c_str());
    }
    scanner.Stop();
    QXSDK::TFTPClient::Cleanup();
    std::printf("%zu camera(s), result 0x%08x\n", cameras.size(), static_cast<unsigned>(result));
    return result == 0 ? 0 : 1;
}
