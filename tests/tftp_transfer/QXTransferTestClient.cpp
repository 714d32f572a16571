#include "tests/tftp_transfer/QXTransferTestClient.h"

#include "qxnet/platform/QXSocket.h"

namespace QXTest {

int TransferClient::RemotePort() const {
    return QX::NetworkToHost16(remote.port);
}

std::int32_t VectorStream::Write(const void* data, std::uint32_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
    return static_cast<std::int32_t>(size);
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        out.push_back(static_cast<char>(*text));
    }
    return out;
}

}  // namespace QXTest
