#include "sim/QXSimDiscoveryResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "sim/QXSimulator.h"

namespace QXSim {

const char DiscoveryResponder::kTag[] = "korvane_optics-qx2000";

namespace {

constexpr std::size_t kTagLength = 21;
constexpr std::size_t kFixedLength = 73;
constexpr std::size_t kBlockOffset = 69;

void PutBigEndian(std::vector<std::uint8_t>& out, std::size_t offset, std::uint64_t value,
                  int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[offset + i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::vector<std::uint8_t> DiscoveryResponder::BuildAnswer(const SimCamera& camera) {
    std::size_t blockLength = 0;
    switch (camera.blockVersion) {
        case 0xCE:
        case 0xCF:
            blockLength = 25;
            break;
        case 0xD0:
            blockLength = 40;
            break;
        default:
            break;
    }
    // A camera without a block still sends the whole fixed part: the block starts inside it (at
    // 69) and only an answer longer than 73 bytes carries one.
    std::vector<std::uint8_t> answer(blockLength != 0 ? kBlockOffset + blockLength : kFixedLength);
    std::memcpy(answer.data(), kTag, kTagLength);
    PutBigEndian(answer, 22, camera.mac, 6);
    PutBigEndian(answer, 28, camera.address, 4);
    PutBigEndian(answer, 32, camera.firmware, 2);
    PutBigEndian(answer, 34, camera.model, 2);
    answer[36] = camera.byte36;
    if (blockLength == 0) {
        return answer;
    }
    std::size_t b = kBlockOffset;
    answer[b] = 0xBE;
    answer[b + 1] = camera.blockVersion;
    PutBigEndian(answer, b + 2, blockLength - 4, 2);
    PutBigEndian(answer, b + 4, camera.model, 4);
    PutBigEndian(answer, b + 8, camera.extendedModel, 4);
    std::memcpy(&answer[b + 12], camera.info12.data(), 8);
    if (camera.blockVersion == 0xD0) {
        std::memcpy(&answer[b + 20], camera.info20.data(), 8);
        std::memcpy(&answer[b + 28], camera.info28.data(), 8);
        std::uint32_t high = (camera.features >> 7) & 0x1FF;
        answer[b + 36] = static_cast<std::uint8_t>(camera.enclosure);
        answer[b + 37] = static_cast<std::uint8_t>(camera.features & 0x7F);
        answer[b + 38] = static_cast<std::uint8_t>(high & 0xFF);
        answer[b + 39] = static_cast<std::uint8_t>(high >> 8);
    } else {
        std::memcpy(&answer[b + 20], camera.info20.data(), 2);
        answer[b + 23] = static_cast<std::uint8_t>(camera.enclosure);
        if (camera.blockVersion == 0xCE) {
            answer[b + 22] = static_cast<std::uint8_t>(camera.features);
        } else {
            answer[b + 22] = static_cast<std::uint8_t>(camera.features & 0x7F);
            answer[b + 24] = static_cast<std::uint8_t>(camera.features >> 7);
        }
    }
    return answer;
}

DiscoveryResponder::DiscoveryResponder(const Simulator& simulator, DiscoveryOptions options)
    : m_simulator(simulator), m_options(options), m_random(options.faults.seed) {}

DiscoveryResponder::~DiscoveryResponder() {
    Stop();
}

bool DiscoveryResponder::Start(std::string& error) {
    if (m_socket >= 0) {
        return true;
    }
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_socket < 0) {
        error = SystemError("discovery responder: socket");
        return false;
    }
    int on = 1;
    // Large answer bursts (a thousand cameras) must not stall on the send buffer.
    int sendBuffer = 4 * 1024 * 1024;
    setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(m_socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(m_options.bindAddress);
    local.sin_port = htons(m_options.port);
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        error = SystemError("discovery responder: bind " + AddressText(m_options.bindAddress) +
                            ":" + std::to_string(m_options.port));
        close(m_socket);
        m_socket = -1;
        return false;
    }
    socklen_t length = sizeof local;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length);
    m_port = ntohs(local.sin_port);
    if (pipe2(m_wake, O_CLOEXEC) != 0) {
        error = SystemError("discovery responder: pipe");
        close(m_socket);
        m_socket = -1;
        return false;
    }
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void DiscoveryResponder::Stop() {
    if (m_socket < 0) {
        return;
    }
    char byte = 0;
    if (write(m_wake[1], &byte, 1) != 1) {
        // The pipe is empty and ours; a failed write leaves the thread to end on its own poll.
    }
    m_thread.join();
    close(m_wake[0]);
    close(m_wake[1]);
    m_wake[0] = m_wake[1] = -1;
    close(m_socket);
    m_socket = -1;
}

std::vector<std::uint8_t> DiscoveryResponder::LastRequest() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_lastRequest;
}

std::set<std::uint64_t> DiscoveryResponder::AnsweredMacs() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_answeredMacs;
}

bool DiscoveryResponder::Pause(unsigned microseconds) {
    if (microseconds == 0) {
        return true;
    }
    pollfd wake{m_wake[0], POLLIN, 0};
    timespec timeout{static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
    return ppoll(&wake, 1, &timeout, nullptr) == 0;
}

void DiscoveryResponder::Serve() {
    std::vector<std::uint8_t> request(65536);
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(m_socket, request.data(), request.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            continue;
        }
        if (m_options.loopbackRequestersOnly && (ntohl(from.sin_addr.s_addr) >> 24) != 127) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(m_recordLock);
            m_lastRequest.assign(request.begin(), request.begin() + n);
        }
        ++m_requests;
        Answer(&from, fromLength);
    }
}

void DiscoveryResponder::Answer(const void* requester, std::uint32_t requesterLength) {
    const DiscoveryFaults& faults = m_options.faults;
    auto to = static_cast<const sockaddr*>(requester);
    auto send = [&](const std::vector<std::uint8_t>& datagram) {
        if (sendto(m_socket, datagram.data(), datagram.size(), 0, to, requesterLength) < 0) {
            ++m_sendFailures;
            return false;
        }
        return true;
    };
    if (!Pause(faults.delayMs * 1000)) {
        return;
    }
    for (unsigned i = 0; i < faults.untagged; ++i) {
        static const std::vector<std::uint8_t> kNoise = {'n', 'o', 't', ' ', 'a', ' ', 'c', 'a',
                                                         'm', 'e', 'r', 'a', 0,   1,   2,   3};
        send(kNoise);
    }
    // Threshold on the raw 32-bit draw, so the same seed drops the same answers everywhere.
    auto threshold = static_cast<std::uint64_t>(faults.dropShare * 4294967296.0);
    std::mt19937 random(m_random);
    unsigned sinceTheLastPause = 0;
    for (const SimCamera& camera : m_simulator.Cameras()) {
        if (threshold > 0 && random() < threshold) {
            ++m_answersDropped;
            continue;
        }
        std::vector<std::uint8_t> answer = BuildAnswer(camera);
        for (int copy = faults.answerTwice ? 2 : 1; copy > 0; --copy) {
            if (send(answer)) {
                ++m_answersSent;
                std::lock_guard<std::mutex> guard(m_recordLock);
                m_answeredMacs.insert(camera.mac);
            }
        }
        if (faults.pacingBurst != 0 && ++sinceTheLastPause >= faults.pacingBurst) {
            sinceTheLastPause = 0;
            if (!Pause(faults.pacingUs)) {
                return;
            }
        }
    }
    // The next request draws on from here, so a repeated request is not dropped the same way.
    m_random = random();
}

}  // namespace QXSim
