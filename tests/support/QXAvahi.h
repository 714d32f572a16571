#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/QXNetNamespace.h"

namespace QXTest {

// avahi-daemon inside a network namespace, in a mount namespace of its own where its service
// directory is the test's and /run is private, so it touches none of the host's files. It uses
// a configuration of its own (no D-Bus, only the given interface) and, when service is not
// empty, publishes that service file. Stopped by its PID (SIGTERM, so it says goodbye).
class Avahi {
public:
    // dir: an empty directory for its files; hostName without ".local".
    Avahi(const NetNamespace& ns, const std::string& dir, const std::string& interfaceName,
          const std::string& hostName, const std::string& service);
    ~Avahi();
    Avahi(const Avahi&) = delete;
    Avahi& operator=(const Avahi&) = delete;

    // True when avahi-daemon is installed here.
    static bool Installed();
    // Waits until the daemon runs; false with its log when it gave up or is slow.
    bool WaitReady(std::string& log);
    void Stop();

private:
    std::string m_dir;
    pid_t m_pid = -1;
};

}  // namespace QXTest
