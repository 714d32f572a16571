#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QXTest {

// A plain UDP socket on 127.0.0.1 that sends a request to the simulator and gathers what comes
// back, so the responder is tested without the library's client.
class SimTestClient {
public:
    SimTestClient();
    ~SimTestClient();
    SimTestClient(const SimTestClient&) = delete;
    SimTestClient& operator=(const SimTestClient&) = delete;

    bool Send(std::uint16_t port, const std::vector<std::uint8_t>& request);
    // Datagrams received until quietMs pass without one. Once `expected` have come, the wait
    // for more shrinks to a tenth, so a loaded machine slows the test rather than failing it.
    std::vector<std::vector<std::uint8_t>> Collect(int quietMs, std::size_t expected = 0);
    // True when a datagram arrives within waitMs (it stays queued).
    bool Readable(int waitMs);

private:
    int m_socket = -1;
};

}  // namespace QXTest
