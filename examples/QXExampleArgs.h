#pragma once

// Argument parsing shared by the examples.

#include <cstdint>
#include <cstdio>

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
