// File transfer: read one file from a camera into a memory stream and report its size. The
// full blocks go to the stream; the last, short block lands in the caller's buffer.
//   qxnet-example-tftp-get CAMERA_ADDRESS FILE [PORT]     (port 69 unless given)
#include <cstdio>
#include <cstdlib>

#include <boost/make_shared.hpp>

#include "QXExampleArgs.h"

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXMemoryStream.h"
#include "qxnet/tftp/QXTFTPClient.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CAMERA_ADDRESS FILE [PORT]\n", argv[0]);
        return 2;
    }
    const int port = argc > 3 ? std::atoi(argv[3]) : 69;
    std::uint32_t camera = 0;
    if (!ParseIPv4(argv[1], camera) || !StartQuietly()) {
        return 2;
    }
    int rc = 1;
    try {
        // Double packets (2904-byte blocks) when the camera grants them, 3 retries.
        QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, true, 3, 0, 0);
        client.Open(camera, port);
        QX::CMemoryStream stream;
        unsigned char tail[2904];
        std::uint32_t tailLength = sizeof tail;
        int result = client.Read(argv[2], &stream, tail, &tailLength, nullptr);
        if (result == 0) {
            std::printf("%s: %u bytes\n", argv[2],
                        static_cast<unsigned>(stream.GetSize() + tailLength));
            rc = 0;
        } else {
            std::fprintf(stderr, "read failed (0x%08x): %ls\n", static_cast<unsigned>(result),
                         client.GetError());
        }
        client.Close();
    } catch (const QX::Exception& e) {
        std::fprintf(stderr, "%ls", e.text);
        rc = 2;
    }
    QXSDK::TFTPClient::Cleanup();
    return rc;
}
