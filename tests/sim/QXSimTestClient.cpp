#include "tests/sim/QXSimTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace QXTest {

SimTestClient::SimTestClient() {
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int buffer = 8 * 1024 * 1024;
    // Room for a whole burst of answers; the forced size needs root and is tried second.
    setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local);
}

SimTestClient::~SimTestClient() {
    close(m_socket);
}

bool SimTestClient::Send(std::uint16_t port, const std::vector<std::uint8_t>& request) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return sendto(m_socket, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(request.size());
}

std::vector<std::vector<std::uint8_t>> SimTestClient::Collect(int quietMs, std::size_t expected) {
    std::vector<std::vector<std::uint8_t>> datagrams;
    std::vector<std::uint8_t> buffer(65536);
    while (Readable(expected != 0 && datagrams.size() >= expected ? quietMs / 10 : quietMs)) {
        ssize_t n = recv(m_socket, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            break;
        }
        datagrams.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    return datagrams;
}

bool SimTestClient::Readable(int waitMs) {
    pollfd fd{m_socket, POLLIN, 0};
    return poll(&fd, 1, waitMs) == 1;
}

}  // namespace QXTest
