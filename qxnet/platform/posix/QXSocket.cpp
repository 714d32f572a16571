#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXSystemSocket.h"
#include "qxnet/platform/posix/QXSystemError.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace QX {

namespace {

thread_local int t_lastError = 0;
std::atomic<int> g_startCount{0};

void SetFromErrno() {
    t_lastError = WinsockErrorFromErrno(errno);
}

std::int64_t MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int Fd(SocketHandle socket) {
    return static_cast<int>(socket);
}

class PosixSocketBackend final : public SystemSocketBackend {
public:
    SocketHandle CreateUdp() override {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0) {
            SetFromErrno();
            return InvalidSocket;
        }
        return static_cast<SocketHandle>(fd);
    }

    bool Close(SocketHandle socket) override {
        if (::close(Fd(socket)) != 0) {
            SetFromErrno();
            return false;
        }
        return true;
    }

    bool Bind(SocketHandle socket, const SocketAddressV4& local) override {
        const sockaddr_in system = ToSystem(local);
        if (::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&system), sizeof(system)) != 0) {
            SetFromErrno();
            return false;
        }
        return true;
    }

    bool LocalAddress(SocketHandle socket, SocketAddressV4* local) override {
        sockaddr_in system{};
        socklen_t size = sizeof(system);
        if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&system), &size) != 0) {
            SetFromErrno();
            return false;
        }
        *local = FromSystem(system);
        return true;
    }

    SocketWait WaitReadable(SocketHandle socket, std::uint32_t timeoutUs) override {
        pollfd entry{};
        entry.fd = Fd(socket);
        entry.events = POLLIN | POLLPRI;
        // A signal (an application's timer, a profiler, Ctrl-C) interrupts the wait; it resumes
        // with the time that is left, so the caller sees only readable, time-out or a real
        // failure.
        const std::int64_t deadline = MonotonicNs() + static_cast<std::int64_t>(timeoutUs) * 1000;
        std::int64_t left = static_cast<std::int64_t>(timeoutUs) * 1000;
        int ready;
        for (;;) {
            const timespec timeout{static_cast<time_t>(left / 1000000000),
                                   static_cast<long>(left % 1000000000)};
            ready = ::ppoll(&entry, 1, &timeout, nullptr);
            if (ready >= 0 || errno != EINTR) {
                break;
            }
            left = deadline - MonotonicNs();
            if (left <= 0) {
                ready = 0;
                break;
            }
        }
        if (ready < 0) {
            SetFromErrno();
            return SocketWait::Failed;
        }
        if (ready == 0) {
            return SocketWait::TimedOut;
        }
        if ((entry.revents & POLLNVAL) != 0) {
            t_lastError = SocketError::NotSocket;
            return SocketWait::Failed;
        }
        // Urgent data is the exception condition of a select() exception set. A pending error
        // report (POLLERR) is readable: the next receive fetches it and reports it.
        if ((entry.revents & POLLPRI) != 0) {
            return SocketWait::Exception;
        }
        return SocketWait::Readable;
    }

    int SendTo(SocketHandle socket, const void* data, int length,
               const SocketAddressV4& to) override {
        const sockaddr_in system = ToSystem(to);
        ssize_t sent;
        do {
            sent = ::sendto(Fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&system), sizeof(system));
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            SetFromErrno();
            return -1;
        }
        return static_cast<int>(sent);
    }

    bool ReceiveFrom(SocketHandle socket, void* buffer, int capacity,
                     ReceivedDatagram* received) override {
        sockaddr_in sender{};
        iovec vector{buffer, static_cast<size_t>(capacity)};
        alignas(cmsghdr) unsigned char
            control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(std::uint32_t))];
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof(sender);
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        // MSG_TRUNC makes the call report the datagram's real size, so a datagram that did not
        // fit is told apart from one that filled the buffer exactly.
        ssize_t size;
        do {
            size = ::recvmsg(Fd(socket), &message, MSG_TRUNC);
        } while (size < 0 && errno == EINTR);
        if (size < 0) {
            SetFromErrno();
            return false;
        }
        *received = ReceivedDatagram{};
        received->size = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
        received->from = FromSystem(sender);
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                TakePacketInfo<in_pktinfo>(CMSG_DATA(header), received);
            } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&received->dropped, CMSG_DATA(header), sizeof(received->dropped));
            }
        }
        return true;
    }

protected:
    bool SetRaw(SocketHandle socket, int level, int name, const void* value, int size) override {
        if (setsockopt(Fd(socket), level, name, value, static_cast<socklen_t>(size)) != 0) {
            SetFromErrno();
            return false;
        }
        return true;
    }
};

}  // namespace

int SocketLastError() {
    return t_lastError;
}
void SetSocketLastError(int error) {
    t_lastError = error;
}

// Nothing to start on this platform; the count keeps start and end paired as on Windows.
int SocketLayerStart() {
    g_startCount.fetch_add(1);
    return 0;
}

void SocketLayerEnd() {
    int count = g_startCount.load();
    while (count > 0 && !g_startCount.compare_exchange_weak(count, count - 1)) {
    }
}

SocketBackend& PlatformSocketBackend() {
    static PosixSocketBackend backend;
    return backend;
}

}  // namespace QX
