#pragma once

#include <cstdint>

namespace QXSDK {

// The byte sink through which the library hands received data to its caller. Write returns the
// size written or -1; Read the bytes copied, 0 or -1; failures are told by the calling thread's
// last-error value (QX::GetLastErrorValue).
struct IStream {
    virtual std::int32_t Write(const void* data, std::uint32_t size) = 0;
    virtual std::int32_t Read(void* buffer, std::uint32_t size) = 0;
    virtual std::uint32_t GetSize() = 0;
    // Virtual so that a caller may own an implementation through this interface; the library
    // itself never deletes through it.
    virtual ~IStream() = default;
};

}  // namespace QXSDK
