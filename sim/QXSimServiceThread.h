#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/QXSimService.h"

// Declared only, so that a test built for Windows can include the services' headers for their
// shared definitions (the generated file content) without the POSIX headers.
struct pollfd;
struct sockaddr_in;

namespace QXSim {

// A service served by one thread of its own, woken for Stop through a pipe that every wait of
// the service (its workers' too) watches: the pipe stays readable once written, so one write ends
// every wait at once.
class ServiceThread : public Service {
protected:
    // How a wait ended.
    enum class Wake { Ready, TimedOut, Stopping };

    ~ServiceThread() override;

    // Opens the wake pipe and runs Run on the service's thread; false with "who: pipe: reason".
    bool StartThread(const std::string& who, std::string& error);
    // Ends every wait, joins the thread, then calls joinWorkers (for threads of the service's
    // own that wait on the pipe too) before the pipe closes. Safe when nothing was started.
    void StopThread(const std::function<void()>& joinWorkers = nullptr);
    bool Started() const { return m_thread.joinable(); }
    bool Stopping() const { return m_stopping; }

    // Waits until one of fds is readable, ms pass (-1: no limit) or Stop comes; a readable fd
    // wins over Stop.
    Wake Wait(std::vector<pollfd>& fds, int ms) const;
    Wake Wait(int fd, int ms) const;
    // Waits as above, then reads one datagram into buffer: its length, or nothing when none came
    // (a time-out, Stop, or a failed read).
    std::optional<std::size_t> ReceiveFrom(int fd, int ms, std::vector<std::uint8_t>& buffer,
                                           sockaddr_in& from) const;
    // Until Stop, hands every datagram that arrives on fd to serve: its bytes and its sender.
    using DatagramHandler =
        std::function<void(const std::uint8_t* data, std::size_t size, const sockaddr_in& from)>;
    void ServeDatagrams(int fd, const DatagramHandler& serve) const;
    // Waits the given time; false when Stop came first.
    bool Pause(std::uint64_t microseconds) const;

private:
    virtual void Run() = 0;

    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
};

}  // namespace QXSim
