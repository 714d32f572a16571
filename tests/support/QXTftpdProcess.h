#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace QXTest {

// The packaged TFTP server (in.tftpd), serving a fresh folder under /tmp (readable for the user it
// drops root to) on 127.0.0.1 and a free port; stopped by its process id in the destructor.
class TftpdProcess {
public:
    TftpdProcess();
    ~TftpdProcess();
    TftpdProcess(const TftpdProcess&) = delete;
    TftpdProcess& operator=(const TftpdProcess&) = delete;

    // False when in.tftpd is missing, this is not root, or no port could be had.
    bool Running() const { return m_pid > 0; }
    int Port() const { return m_port; }
    void AddFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const;

    static bool Available();

private:
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_folder;
};

}  // namespace QXTest
