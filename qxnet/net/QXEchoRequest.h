#pragma once

#include <cstddef>
#include <cstdint>

namespace QX {

constexpr std::size_t ECHO_REQUEST_SIZE = 45;

// The raw ping's echo request: type 8, code 0, checksum, the attempt number as identifier and
// sequence, the tick count at offset 9 and the bytes 0x20..0x3F; byte 8 is 0.
void BuildEchoRequest(unsigned char (&request)[ECHO_REQUEST_SIZE], std::uint16_t attempt,
                      std::uint32_t tickCount);

}  // namespace QX
