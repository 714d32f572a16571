#pragma once

// Result codes: 0 is success; an error of message-table row r is 0xF0000000 + r + 1. The same
// return slot carries a Win32, Winsock or WinHTTP error number where an operation says so; those
// are small positive numbers and never meet the 0xF0000000 range.

#include <cstdint>

#include "qxnet/QXExport.h"

namespace QX {

namespace ResultCode {
constexpr std::uint32_t Success = 0;
// Row 1, "Warning", has no code: nothing in the library returns or compares against it.
constexpr std::uint32_t Unexpected = 0xF0000003;
constexpr std::uint32_t InvalidArgument = 0xF0000004;
constexpr std::uint32_t UnsupportedOperation = 0xF0000005;
constexpr std::uint32_t ParameterOutOfRange = 0xF0000006;
constexpr std::uint32_t TimedOut = 0xF0000007;
constexpr std::uint32_t WrongOutputDataSize = 0xF0000008;
constexpr std::uint32_t WrongOutputData = 0xF0000009;
constexpr std::uint32_t BufferTooSmall = 0xF000000A;
constexpr std::uint32_t NotImplemented = 0xF000000B;
constexpr std::uint32_t ObjectNotFound = 0xF000000C;
constexpr std::uint32_t MoreData = 0xF000000D;
constexpr std::uint32_t Unavailable = 0xF000000E;
constexpr std::uint32_t PluginNotFound = 0xF000000F;
constexpr std::uint32_t UnsupportedCameraVersion = 0xF0000010;
constexpr std::uint32_t UnknownCameraModel = 0xF0000011;
constexpr std::uint32_t PasswordRequired = 0xF0000012;
constexpr std::uint32_t NoData = 0xF0000013;
constexpr std::uint32_t ConnectionLost = 0xF0000014;
constexpr std::uint32_t OutOfLocalSubnet = 0xF0000015;
constexpr std::uint32_t NoNetworkDevice = 0xF0000016;
}  // namespace ResultCode

constexpr int ResultMessageCount = 22;

// The message of each row, for the caller; the library itself never looks a message up.
QXNET_API extern const wchar_t* const ResultMessages[ResultMessageCount];

// The message for a result code, or null when the code is no row of the table (a system error
// number, say).
QXNET_API const wchar_t* ResultMessage(std::uint32_t code);

}  // namespace QX
