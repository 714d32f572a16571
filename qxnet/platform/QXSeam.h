#pragma once

// The one shape of the platform's seams (sockets, net info, ICMP, the HTTP transport, the debug
// sink): each is an interface whose Current() is the implementation in place and whose Set(next)
// puts next in place for the whole process, returning the one it replaced (null for the
// platform's own); a null next restores the platform's. The debug sink writes its own pair, as
// its Set also waits for a line in progress.

#include <atomic>

// Defines Interface::Current() and Interface::Set() over a slot of the front file's own, with
// platform() in place while the slot is empty.
#define QX_DEFINE_SEAM(Interface, platform)                                 \
    namespace {                                                             \
    std::atomic<Interface*> g_installed{nullptr};                           \
    }                                                                       \
    Interface& Interface::Current() {                                       \
        Interface* installed = g_installed.load(std::memory_order_acquire); \
        return installed != nullptr ? *installed : platform();              \
    }                                                                       \
    Interface* Interface::Set(Interface* next) {                            \
        return g_installed.exchange(next, std::memory_order_acq_rel);       \
    }
