#pragma once

#include <cstdint>

#include "qxnet/QXExport.h"

namespace QX {

// The record thrown by value for set-up faults (a packet that cannot be built, a socket that
// cannot be set up, a missing ping facility). Every text field is bounded and always terminated:
// a longer message or file name is cut to fit.
class QXNET_API Exception {
public:
    static constexpr int TextSize = 1024, MessageSize = 768, FileSize = 64;

    // file is the thrower's source name, such as L"QXTFTPPacket"; line the line of the throw.
    Exception(const wchar_t* message, std::uint32_t hResult, std::int32_t line,
              const wchar_t* file);

    // "QX::Exception: <message>. hResult = 0x<8 hex digits>. File <file>, line <line>\n"
    wchar_t text[TextSize];
    wchar_t message[MessageSize];
    std::uint32_t hResult;
    std::uint32_t reserved;  // always 0; kept so that the record has its known shape
    wchar_t file[FileSize];
    std::int32_t line;
};

}  // namespace QX
