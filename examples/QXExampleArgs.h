#pragma once

// Argument parsing and the start shared by the examples.

#include <cstdint>
#include <cstdio>

#include "qxnet/platform/QXDebugOutput.h"
#include "qxnet/tftp/QXTFTPClient.h"

// Reads a dotted IPv4 address into host order (first octet most significant), as the clients
// take it.
inline bool ParseIPv4(const char* text, std::uint32_t& hostOrder) {
    unsigned a, b, c, d;
    char extra;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 ||
        c > 255 || d > 255) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text);
        return false;
    }
    hostOrder = a << 24 | b << 16 | c << 8 | d;
    return true;
}

// Silences the library's trace (not wanted in an example's output) and starts the socket layer,
// which every client needs; false, said on standard error, when it does not start. A true start
// is ended by QXSDK::TFTPClient::Cleanup().
inline bool StartQuietly() {
    QX::DebugSink::Set(&QX::DebugSink::Silent());
    if (QXSDK::TFTPClient::Startup()) {  // true means the socket layer did not start
        std::fprintf(stderr, "the socket layer did not start\n");
        return false;
    }
    return true;
}
