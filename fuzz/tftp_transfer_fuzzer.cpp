// Arbitrary datagrams received by a reading client: the option acknowledgement wait and then the
// collection of DATA batches (ReadResponse), through the scripted socket backend. Input: one
// byte of settings (bit 0: offer double packets, bit 1: no tail buffer, bit 2: no stream), then
// records of a 16-bit big-endian length, one sender byte (bit 0: another host than the camera)
// and that many datagram bytes; a short last record takes what is left.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "tests/support/QXScriptedSockets.h"

namespace {

constexpr std::uint32_t kCamera = 0x0A000007;
constexpr std::uint32_t kForeign = 0x0A000063;

class FuzzClient : public QXSDK::TFTPClient {
public:
    using TFTPClient::ReadResponse;
    using TFTPClient::TFTPClient;
    using TFTPClient::WaitForOpAck;
};

class CountingStream : public QXSDK::IStream {
public:
    std::int32_t Write(const void* data, std::uint32_t size) override {
        if (data == nullptr || size > 2904) {
            __builtin_trap();  // only whole payloads of full blocks are written
        }
        bytes += size;
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(bytes); }
    std::uint64_t bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = (QX::DebugSink::Set(&QX::DebugSink::Silent()), true);
    (void)silenced;
    if (size < 1) {
        return 0;
    }
    const std::uint8_t settings = data[0];
    QX::ScriptedSocketBackend script;
    script.Install();
    std::size_t pieces = 0;
    for (std::size_t at = 1; at + 3 <= size;) {
        std::size_t length = (static_cast<std::size_t>(data[at]) << 8) | data[at + 1];
        const bool foreign = (data[at + 2] & 1) != 0;
        at += 3;
        if (length > size - at) {
            length = size - at;
        }
        script.Push(data + at, length, QX::MakeSocketAddress(foreign ? kForeign : kCamera, 4000));
        at += length;
        pieces += length / 1454 + 1;
    }
    {
        FuzzClient client(boost::make_shared<QX::CodeLock>(), 0, (settings & 1) != 0, 2, 0, 69);
        client.Open(kCamera, 69);
        CountingStream stream;
        unsigned char tail[2904];
        std::uint32_t capacity = (settings & 2) != 0 ? 0 : 1000;
        std::uint32_t length = capacity;
        if (client.WaitForOpAck() == 0) {
            const int result = client.ReadResponse((settings & 4) != 0 ? nullptr : &stream,
                                                   (settings & 2) != 0 ? nullptr : tail, &length);
            if (result == 0 && length > capacity) {
                __builtin_trap();
            }
            if (result != 0 && result != static_cast<int>(QX::ResultCode::TimedOut) &&
                result != static_cast<int>(QX::ResultCode::Unexpected) &&
                result != static_cast<int>(QX::ResultCode::BufferTooSmall)) {
                __builtin_trap();
            }
        }
        // Each acknowledgement answers one received packet: never more than the pieces.
        std::size_t acks = 0;
        for (const auto& sent : script.Sent()) {
            if (sent.bytes.size() == 4 && sent.bytes[1] == 4) {
                ++acks;
            }
            if (sent.peer.address != QX::HostToNetwork32(kCamera)) {
                __builtin_trap();  // nothing goes to another host
            }
        }
        if (acks > pieces) {
            __builtin_trap();
        }
    }
    return 0;
}
