#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace QXTest {

// in.tftpd serving a fresh folder under /tmp on 127.0.0.1 and a free port.
class TftpdProcess {
public:
    // Started as inetd starts it, on a socket bound here that queues requests before it is up.
    TftpdProcess() {
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
    ~TftpdProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::error_code ignored;
        if (!m_folder.empty()) {
            std::filesystem::remove_all(m_folder, ignored);
        }
    }
    TftpdProcess(const TftpdProcess&) = delete;
    TftpdProcess& operator=(const TftpdProcess&) = delete;

    // False when in.tftpd is missing, this is not root, or no port could be had.
    bool Running() const { return m_pid > 0; }
    int Port() const { return m_port; }
    void AddFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string path = m_folder + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ::chmod(path.c_str(), 0644);
    }

    static bool Available() { return ::access(kServer, X_OK) == 0 && ::geteuid() == 0; }

private:
    static constexpr const char* kServer = "/usr/sbin/in.tftpd";

    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_folder;
};

}  // namespace QXTest
