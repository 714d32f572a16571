#include "tests/support/QXTftpdProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace QXTest {

constexpr const char* kServer = "/usr/sbin/in.tftpd";

bool TftpdProcess::Available() {
    return ::access(kServer, X_OK) == 0 && ::geteuid() == 0;
}

// Started as inetd starts it, on a socket bound here that queues requests before it is up.
TftpdProcess::TftpdProcess() {
    char folder[] = "/tmp/qxtftpd-XXXXXX";
    if (!Available() || ::mkdtemp(folder) == nullptr) {
        return;
    }
    m_folder = folder;
    ::chmod(folder, 0755);
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        m_port = ntohs(a.sin_port);
        // Built before the fork: the child only execs.
        const char* argv[] = {kServer, "--secure", m_folder.c_str(), nullptr};
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(s, 0);
            ::execv(kServer, const_cast<char* const*>(argv));
            ::_exit(127);
        }
    }
    ::close(s);
}

TftpdProcess::~TftpdProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    if (!m_folder.empty()) {
        std::filesystem::remove_all(m_folder, ignored);
    }
}

void TftpdProcess::AddFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string path = m_folder + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ::chmod(path.c_str(), 0644);
}

}  // namespace QXTest
