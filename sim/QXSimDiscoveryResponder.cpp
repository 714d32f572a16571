#include "sim/QXSimDiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <random>

#include "sim/QXSimSocket.h"
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
    SocketOptions options;
    options.reuseAddress = true;
    options.broadcast = true;
    // Large answer bursts (a thousand cameras) must not stall on the send buffer.
    options.sendBuffer = 4 * 1024 * 1024;
    m_socket = BindSocket(SOCK_DGRAM, m_options.bindAddress, m_options.port, options,
                          "discovery responder", error);
    if (m_socket < 0) {
        return false;
    }
    m_port = LocalPort(m_socket);
    if (!StartThread("discovery responder", error)) {
        CloseDescriptor(m_socket);
        return false;
    }
    return true;
}

void DiscoveryResponder::Stop() {
    StopThread();
    CloseDescriptor(m_socket);
}

std::vector<std::uint8_t> DiscoveryResponder::LastRequest() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_lastRequest;
}

std::set<std::uint64_t> DiscoveryResponder::AnsweredMacs() const {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return m_answeredMacs;
}

void DiscoveryResponder::Run() {
    ServeDatagrams(
        m_socket, [this](const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
            if (m_options.loopbackRequestersOnly && (ntohl(from.sin_addr.s_addr) >> 24) != 127) {
                return;
            }
            {
                std::lock_guard<std::mutex> guard(m_recordLock);
                m_lastRequest.assign(data, data + size);
            }
            ++m_requests;
            Answer(from);
        });
}

void DiscoveryResponder::Answer(const sockaddr_in& requester) {
    const DiscoveryFaults& faults = m_options.faults;
    auto send = [&](const std::vector<std::uint8_t>& datagram) {
        if (sendto(m_socket, datagram.data(), datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(&requester), sizeof requester) < 0) {
            ++m_sendFailures;
            return false;
        }
        return true;
    };
    if (!Pause(std::uint64_t{faults.delayMs} * 1000)) {
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
