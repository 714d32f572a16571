#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/QXSimServiceThread.h"

namespace QXSim {

class Simulator;
struct SimCamera;

// How the mDNS responder misbehaves on purpose.
struct MdnsFaults {
    // The records of the first camera of each answer go out in two datagrams (PTR, SRV and TXT,
    // then A), splitGapMs apart.
    bool splitCamera = false;
    unsigned splitGapMs = 0;
    // Wait before answering each query, in milliseconds.
    unsigned delayMs = 0;
    // Share of queries (0 to 1) that get no answer; which ones follows seed, so a run repeats.
    double dropShare = 0.0;
    std::uint32_t seed = 1;
};

struct MdnsOptions {
    // Host-order address of the interface to serve on: the group is joined there and answers
    // leave from there. 127.0.0.1 keeps everything on loopback (lo needs MULTICAST for the group
    // to be looped back there, as it has in the namespaces the tests make).
    std::uint32_t interfaceAddress = 0x7F000001;
    // Unsolicited announcements of every camera (ID 0) at this interval; 0 sends none.
    unsigned announceIntervalMs = 0;
    MdnsFaults faults;
};

// The cameras' mDNS responder. Its receiving socket binds the group address 224.0.0.251:5353
// (not the wildcard), so that a unicast datagram to port 5353 on the same host reaches the
// client's wildcard-bound socket and not this one. It answers a PTR query for
// "_korv._tcp.local" with every camera and an A query for "korv-QXxxxxxx.local" with that
// camera, each camera as PTR, SRV, TXT and A records; a query class with the top bit set is
// answered by unicast to the asker, otherwise to the group; both leave from port 5353 of the
// interface's address. Runs one thread between Start and Stop; counters may be read from any
// thread.
class MdnsResponder : public ServiceThread {
public:
    MdnsResponder(const Simulator& simulator, MdnsOptions options);
    ~MdnsResponder() override;

    bool Start(std::string& error) override;
    void Stop() override;

    std::uint64_t Queries() const { return m_queries; }
    std::uint64_t UnicastAnswers() const { return m_unicastAnswers; }
    std::uint64_t MulticastAnswers() const { return m_multicastAnswers; }
    std::uint64_t Announcements() const { return m_announcements; }
    std::uint64_t Dropped() const { return m_dropped; }
    // The IDs of the queries received, in order.
    std::vector<std::uint16_t> QueryIds() const;

    // The response datagrams for the given cameras under one message ID: each camera's records
    // whole in one datagram, several cameras packed up to about 1400 bytes.
    static std::vector<std::vector<std::uint8_t>> BuildResponses(
        std::uint16_t id, const std::vector<const SimCamera*>& cameras);
    // The camera's text: "MAC=QX" six hex digits "-FW" major "." minor "-" model and extended
    // model (4 hex digits each) "-" features (8) "-" enclosure (4) "/" model name.
    static std::string CameraText(const SimCamera& camera);
    // "korv-QX" and the MAC's three low octets.
    static std::string HostLabel(const SimCamera& camera);

private:
    void Run() override;
    // Binds the group for receiving and the interface's port 5353 for sending.
    bool OpenSockets(std::string& error);
    void HandleQuery(const std::vector<std::uint8_t>& query, const void* from);
    void Send(const std::vector<std::vector<std::uint8_t>>& datagrams, const void* to);

    const Simulator& m_simulator;
    MdnsOptions m_options;
    int m_receive = -1;
    int m_send = -1;
    std::uint32_t m_random;
    std::atomic<std::uint64_t> m_queries{0};
    std::atomic<std::uint64_t> m_unicastAnswers{0};
    std::atomic<std::uint64_t> m_multicastAnswers{0};
    std::atomic<std::uint64_t> m_announcements{0};
    std::atomic<std::uint64_t> m_dropped{0};
    mutable std::mutex m_idsLock;
    std::vector<std::uint16_t> m_queryIds;
};

}  // namespace QXSim
