// A discovery answer of arbitrary bytes: parsed directly into CameraData, then received through
// the scripted socket backend by GetBroadcastResponse and GetBroadcastResponseEx, which must
// keep every record in step with the bytes and never read past the datagram.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "tests/support/QXScriptedSockets.h"

namespace {

class FuzzClient : public QXSDK::TFTPClient {
public:
    using TFTPClient::GetBroadcastResponse;
    using TFTPClient::GetBroadcastResponseEx;
    using TFTPClient::TFTPClient;
};

int CheckAnswer(std::uint32_t, unsigned char* answer, std::uint32_t length, void* context) {
    const auto* expected = static_cast<const std::vector<std::uint8_t>*>(context);
    if (length != expected->size() || length < 21) {
        __builtin_trap();
    }
    const QXSDK::CameraData camera(answer, length);
    return camera.features & 1 ? 0 : static_cast<int>(0xF000000D);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = (QX::DebugSink::Set(&QX::DebugSink::Silent()), true);
    (void)silenced;
    const std::vector<std::uint8_t> answer(data, data + size);
    const QXSDK::CameraData direct(answer.data(), static_cast<std::uint32_t>(answer.size()));
    if (direct.enclosure != 0 && direct.infoTag == 0) {
        __builtin_trap();  // the enclosure comes only from a known block
    }

    QX::ScriptedSocketBackend script;
    script.Install();
    {
        FuzzClient client(boost::make_shared<QX::CodeLock>(), 0x0A000001, false, 1, 0, 3000);
        client.Open(0x0AFFFFFF, 3000);
        const QX::SocketAddressV4 sender = QX::MakeSocketAddress(0x0A000007, 3000);
        script.Push(answer, sender);
        script.Push(answer, sender);
        std::set<QXSDK::CameraData> cameras;
        const bool added = client.GetBroadcastResponse(&cameras);
        if (added != (cameras.size() == 1) || cameras.size() > 1) {
            __builtin_trap();
        }
        if (added && cameras.begin()->MacNumber() != direct.MacNumber()) {
            __builtin_trap();
        }
        script.Push(answer, sender);
        std::vector<std::uint8_t> expected = answer;
        client.GetBroadcastResponseEx(CheckAnswer, &expected);
    }
    return 0;
}
