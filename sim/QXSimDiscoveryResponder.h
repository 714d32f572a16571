#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "sim/QXSimServiceThread.h"

namespace QXSim {

class Simulator;
struct SimCamera;

// The port the simulated cameras listen on for discovery requests unless told otherwise. The
// request's contents and the cameras' port belong to the host; this one is unprivileged so that
// the simulator runs without root.
constexpr std::uint16_t kDefaultDiscoveryPort = 10069;

// How the discovery responder misbehaves on purpose, so that the client's recovery is tested.
struct DiscoveryFaults {
    // Share of answers (0 to 1) that are not sent; which ones follows seed, so a run repeats.
    double dropShare = 0.0;
    std::uint32_t seed = 1;
    // Every answer is sent twice in a row.
    bool answerTwice = false;
    // Datagrams without the tag sent ahead of the answers to each request.
    unsigned untagged = 0;
    // Wait before the answers to each request, in milliseconds.
    unsigned delayMs = 0;
    // After every pacingBurst answers, pause pacingUs microseconds (0: send the answers back to
    // back). Real cameras answer at their own pace; this spreads a large simulated set the same
    // way.
    unsigned pacingBurst = 0;
    unsigned pacingUs = 0;
};

struct DiscoveryOptions {
    // Host-order address and port to bind; address 0 (any) lets broadcasts reach the responder.
    std::uint32_t bindAddress = 0;
    // 0 picks a free port; Port() tells which.
    std::uint16_t port = 0;
    // Answer only requesters in 127.0.0.0/8. Clear it only inside a network namespace, where
    // nothing leaves the namespace.
    bool loopbackRequestersOnly = true;
    DiscoveryFaults faults;
};

// The cameras' discovery service: one UDP socket that answers every request datagram, whatever
// it holds, with one tagged answer per camera, sent to the requester. Runs one thread between
// Start and Stop. Counters may be read from any thread.
class DiscoveryResponder : public ServiceThread {
public:
    DiscoveryResponder(const Simulator& simulator, DiscoveryOptions options);
    ~DiscoveryResponder() override;

    bool Start(std::string& error) override;
    void Stop() override;

    // The bound port (valid after Start).
    std::uint16_t Port() const { return m_port; }
    // Requests answered (requests from refused requesters are not counted).
    std::uint64_t Requests() const { return m_requests; }
    std::uint64_t AnswersSent() const { return m_answersSent; }
    std::uint64_t AnswersDropped() const { return m_answersDropped; }
    // Datagrams that could not be sent (the socket refused them).
    std::uint64_t SendFailures() const { return m_sendFailures; }
    std::vector<std::uint8_t> LastRequest() const;
    // MACs of the cameras whose answer went out at least once.
    std::set<std::uint64_t> AnsweredMacs() const;

    // The answer of one camera, laid out as clients parse it: the tag, the fixed part (73 bytes)
    // and, for block versions 0xCE, 0xCF and 0xD0, the extended block (25, 25 or 40 bytes).
    static std::vector<std::uint8_t> BuildAnswer(const SimCamera& camera);
    // The 21-byte tag every answer begins with.
    static const char kTag[];

private:
    void Run() override;
    void Answer(const sockaddr_in& requester);

    const Simulator& m_simulator;
    DiscoveryOptions m_options;
    int m_socket = -1;
    std::uint16_t m_port = 0;
    std::uint32_t m_random;
    std::atomic<std::uint64_t> m_requests{0};
    std::atomic<std::uint64_t> m_answersSent{0};
    std::atomic<std::uint64_t> m_answersDropped{0};
    std::atomic<std::uint64_t> m_sendFailures{0};
    // Guards what the serving thread records for readers on other threads.
    mutable std::mutex m_recordLock;
    std::vector<std::uint8_t> m_lastRequest;
    std::set<std::uint64_t> m_answeredMacs;
};

}  // namespace QXSim
