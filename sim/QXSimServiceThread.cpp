#include "sim/QXSimServiceThread.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "sim/QXSimSocket.h"

namespace QXSim {

ServiceThread::~ServiceThread() {
    // The derived service has stopped its thread in its own destructor.
    StopThread();
}

bool ServiceThread::StartThread(const std::string& who, std::string& error) {
    m_stopping = false;
    if (pipe2(m_wake, O_CLOEXEC) != 0) {
        error = SystemError(who + ": pipe");
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void ServiceThread::StopThread(const std::function<void()>& joinWorkers) {
    m_stopping = true;
    if (m_thread.joinable()) {
        const char byte = 0;
        if (write(m_wake[1], &byte, 1) != 1) {
            // The pipe is empty and ours; the waits then see m_stopping at their next time-out.
        }
        m_thread.join();
    }
    if (joinWorkers) {
        joinWorkers();
    }
    CloseDescriptor(m_wake[0]);
    CloseDescriptor(m_wake[1]);
}

ServiceThread::Wake ServiceThread::Wait(std::vector<pollfd>& fds, int ms) const {
    fds.push_back({m_wake[0], POLLIN, 0});
    const int ready = poll(fds.data(), fds.size(), ms);
    const bool woken = fds.back().revents != 0;
    fds.pop_back();
    // What already came is still taken after Stop (a transfer's last acknowledgement, say);
    // the loops around the waits look at Stopping themselves.
    if (ready > 0 &&
        std::any_of(fds.begin(), fds.end(), [](const pollfd& fd) { return fd.revents != 0; })) {
        return Wake::Ready;
    }
    if (m_stopping || woken || (ready < 0 && errno != EINTR)) {
        return Wake::Stopping;
    }
    return Wake::TimedOut;
}

ServiceThread::Wake ServiceThread::Wait(int fd, int ms) const {
    std::vector<pollfd> fds = {{fd, POLLIN, 0}};
    return Wait(fds, ms);
}

std::optional<std::size_t> ServiceThread::ReceiveFrom(int fd, int ms,
                                                      std::vector<std::uint8_t>& buffer,
                                                      sockaddr_in& from) const {
    if (Wait(fd, ms) != Wake::Ready) {
        return std::nullopt;
    }
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    return n < 0 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(n));
}

void ServiceThread::ServeDatagrams(int fd, const DatagramHandler& serve) const {
    std::vector<std::uint8_t> buffer(65536);  // room for the largest datagram
    while (!Stopping()) {
        sockaddr_in from{};
        if (const auto n = ReceiveFrom(fd, -1, buffer, from)) {
            serve(buffer.data(), *n, from);
        }
    }
}

bool ServiceThread::Pause(std::uint64_t microseconds) const {
    if (microseconds == 0) {
        return true;
    }
    pollfd wake{m_wake[0], POLLIN, 0};
    const timespec timeout{static_cast<time_t>(microseconds / 1000000),
                           static_cast<long>(microseconds % 1000000) * 1000};
    return ppoll(&wake, 1, &timeout, nullptr) == 0 && !m_stopping;
}

}  // namespace QXSim
