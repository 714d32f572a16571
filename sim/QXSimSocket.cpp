#include "sim/QXSimSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/QXSimulator.h"

namespace QXSim {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

sockaddr_in MakeAddress(std::uint32_t hostOrder, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrder);
    address.sin_port = htons(port);
    return address;
}

int BindSocket(int type, std::uint32_t address, std::uint16_t port, const SocketOptions& options,
               const std::string& who, std::string& error) {
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = SystemError(who + ": socket");
        return -1;
    }
    const int on = 1;
    if (options.reuseAddress) {
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (options.broadcast) {
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    if (options.sendBuffer != 0) {
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &options.sendBuffer, sizeof options.sendBuffer);
    }
    if (options.receiveBuffer != 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    }
    const sockaddr_in local = MakeAddress(address, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = SystemError(who + ": bind " + AddressText(address) + ":" + std::to_string(port));
        close(s);
        return -1;
    }
    return s;
}

std::uint16_t LocalPort(int socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void CloseDescriptor(int& descriptor) {
    if (descriptor >= 0) {
        close(descriptor);
        descriptor = -1;
    }
}

}  // namespace QXSim
