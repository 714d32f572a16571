#pragma once

// Builds discovery answers the way the cameras lay them out.

#include <cstdint>
#include <cstring>
#include <vector>

#include "qxnet/tftp/QXCameraData.h"

namespace QXTest {

// The fixed part: tag, MAC (first octet most significant), address (host order), firmware,
// model and byte 36; size bytes long (at least 37).
inline std::vector<std::uint8_t> CameraAnswer(std::uint64_t mac, std::uint32_t ip,
                                              std::uint16_t fwVer, std::uint16_t model,
                                              std::uint8_t byte36, std::size_t size = 73) {
    std::vector<std::uint8_t> answer(size, 0);
    std::memcpy(answer.data(), QXSDK::CameraData::AnswerTag, 21);
    answer[21] = 0x5A;
    for (int i = 0; i < 6; ++i) {
        answer[22 + i] = static_cast<std::uint8_t>(mac >> (8 * (5 - i)));
    }
    for (int i = 0; i < 4; ++i) {
        answer[28 + i] = static_cast<std::uint8_t>(ip >> (8 * (3 - i)));
    }
    answer[32] = static_cast<std::uint8_t>(fwVer >> 8);
    answer[33] = static_cast<std::uint8_t>(fwVer);
    answer[34] = static_cast<std::uint8_t>(model >> 8);
    answer[35] = static_cast<std::uint8_t>(model);
    answer[36] = byte36;
    for (std::size_t i = 37; i < 69 && i < size; ++i) {
        answer[i] = 0xA5;  // not read
    }
    return answer;
}

// Appends an extended block at offset 69: head (0xBE, version, N) and the given body bytes
// (block offsets 4 onward).
inline void AppendBlock(std::vector<std::uint8_t>* answer, std::uint8_t version, std::uint16_t n,
                        const std::vector<std::uint8_t>& body) {
    answer->resize(69);
    answer->push_back(0xBE);
    answer->push_back(version);
    answer->push_back(static_cast<std::uint8_t>(n >> 8));
    answer->push_back(static_cast<std::uint8_t>(n));
    answer->insert(answer->end(), body.begin(), body.end());
}

}  // namespace QXTest
