#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace QXSim {

// What a service's socket needs besides its address.
struct SocketOptions {
    bool reuseAddress = false;
    bool broadcast = false;
    int sendBuffer = 0;     // bytes; 0 leaves the system's default
    int receiveBuffer = 0;  // bytes; 0 leaves the system's default
};

// "what: reason" for the errno of the call that just failed.
std::string SystemError(const std::string& what);

sockaddr_in MakeAddress(std::uint32_t hostOrder, std::uint16_t port);

// A socket of type (SOCK_DGRAM, SOCK_STREAM) bound to address:port (host order), or -1 with the
// reason in error: "who: socket: ..." or "who: bind A.B.C.D:P: ...".
int BindSocket(int type, std::uint32_t address, std::uint16_t port, const SocketOptions& options,
               const std::string& who, std::string& error);

// The port a socket is bound to.
std::uint16_t LocalPort(int socket);

// Closes the descriptor when it is open and marks it closed.
void CloseDescriptor(int& descriptor);

}  // namespace QXSim
