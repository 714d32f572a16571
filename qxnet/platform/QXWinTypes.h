#pragma once

// The Windows records and values that the exported interface carries. On Windows they are the
// SDK's own; elsewhere they are defined here with the same names, field names and sizes, so that
// host code written against the Windows interface compiles unchanged.

#include <cstdint>

#if defined(_WIN32)
// Lean: the full <windows.h> would also bring <winsock.h>, which clashes with Winsock 2, and
// macros such as `interface`. A host that wants the full header includes <winsock2.h> before
// it; NOMINMAX keeps std::min and std::max usable in the library's and the host's code.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>
#define QX_THREADAPI WINAPI
#else
typedef void* HANDLE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0)))

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME keeps the Windows layout");

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD STILL_ACTIVE = 259;

#define QX_THREADAPI
#endif

namespace QX {

// A thread procedure as the thread start and the platform's thread creation take it.
typedef DWORD(QX_THREADAPI* ThreadProc)(void* argument);

}  // namespace QX
