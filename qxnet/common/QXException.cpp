#include "qxnet/common/QXException.h"

#include "qxnet/common/QXFormat.h"

namespace QX {

Exception::Exception(const wchar_t* messageText, std::uint32_t result, std::int32_t lineNumber,
                     const wchar_t* fileName)
    : hResult(result), reserved(0), line(lineNumber) {
    Format(message, MessageSize - 1, L"%s", messageText != nullptr ? messageText : L"");
    Format(file, FileSize - 1, L"%s", fileName != nullptr ? fileName : L"");
    Format(text, TextSize - 1, L"QX::Exception: %s. hResult = 0x%08x. File %s, line %d\n", message,
           hResult, file, line);
}

}  // namespace QX
