#include "tests/support/QXTftpdProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace QXTest {

namespace {

constexpr const char* kServer = "/usr/sbin/in.tftpd";

// Binds 127.0.0.1:port for UDP; 0 asks for a free port. Returns the port, or -1 when taken.
int TryBind(int port) {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t len = sizeof a;
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                       ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(s);
    return bound ? ntohs(a.sin_port) : -1;
}

}  // namespace

bool TftpdProcess::Available() {
    return ::access(kServer, X_OK) == 0 && ::geteuid() == 0;
}

TftpdProcess::TftpdProcess() {
    char folder[] = "/tmp/qxtftpd-XXXXXX";
    if (!Available() || ::mkdtemp(folder) == nullptr) {
        return;
    }
    m_folder = folder;
    ::chmod(folder, 0755);
    m_port = TryBind(0);
    const std::string address = "127.0.0.1:" + std::to_string(m_port);
    // Built before the fork: the child only execs.
    const char* argv[] = {kServer,         "--foreground", "--listen",       "--address",
                          address.c_str(), "--secure",     m_folder.c_str(), nullptr};
    m_pid = ::fork();
    if (m_pid == 0) {
        ::execv(kServer, const_cast<char* const*>(argv));
        ::_exit(127);
    }
    // Up once its port is taken; not running when it ends first or never takes it.
    for (int i = 0; i < 300; ++i) {
        if (TryBind(m_port) < 0) {
            return;
        }
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
}

TftpdProcess::~TftpdProcess() {
    Stop();
    std::error_code ignored;
    if (!m_folder.empty()) {
        std::filesystem::remove_all(m_folder, ignored);
    }
}

void TftpdProcess::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
}

void TftpdProcess::AddFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string path = m_folder + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ::chmod(path.c_str(), 0644);
}

}  // namespace QXTest
