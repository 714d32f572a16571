// Datagrams through the scanner's mDNS answer set: questions skipped, records filed across
// messages, cameras joined and goodbyes taken. The input is cut into up to three messages (the
// first byte gives the first cut) so that records split over datagrams are joined too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/scan/QXMDNSAnswerSet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    if (size == 0) {
        return 0;
    }
    const std::size_t cut = 1 + (data[0] % (size > 1 ? size : 1));
    QXSDK::MDNSAnswerSet answers;
    std::vector<QXSDK::MDNSAnswerSet::Camera> cameras;
    std::vector<std::uint64_t> goodbyes;
    const std::vector<std::uint8_t> first(data + 1, data + (cut < size ? cut : size));
    const std::vector<std::uint8_t> rest(data + (cut < size ? cut : size), data + size);
    for (const std::vector<std::uint8_t>* message : {&first, &rest, &first}) {
        answers.Add(*message, message == &rest ? -1 : 7);
        answers.Take(cameras, goodbyes);
    }
    for (const QXSDK::MDNSAnswerSet::Camera& camera : cameras) {
        if (camera.ttl == 0) {
            __builtin_trap();  // a goodbye is never a camera
        }
    }
    return 0;
}
