#include "sim/QXSimMdnsResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <tuple>

#include "sim/QXSimSocket.h"
#include "sim/QXSimulator.h"

namespace QXSim {

namespace {

constexpr std::uint32_t kGroup = 0xE00000FB;
constexpr std::uint16_t kPort = 5353;
constexpr std::size_t kDatagramBudget = 1400;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypePtr = 12;
constexpr std::uint16_t kTypeTxt = 16;
constexpr std::uint16_t kTypeSrv = 33;
constexpr std::uint32_t kTtl = 120;
const char kService[] = "_korv._tcp.local";

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// One response datagram under construction, with name compression: every suffix of a name
// written so far can be pointed at.
class Writer {
public:
    explicit Writer(std::uint16_t id) {
        U16(id);
        U16(0x8400);  // response, authoritative
        U16(0);       // QDCOUNT
        U16(0);       // ANCOUNT, set by Finish
        U16(0);
        U16(0);
    }
    std::size_t Size() const { return m_out.size(); }
    void U16(std::uint16_t v) {
        m_out.push_back(static_cast<std::uint8_t>(v >> 8));
        m_out.push_back(static_cast<std::uint8_t>(v));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v >> 16));
        U16(static_cast<std::uint16_t>(v));
    }
    void Name(const std::string& dotted) {
        std::string rest = dotted;
        while (!rest.empty()) {
            const auto known = m_suffixes.find(rest);
            if (known != m_suffixes.end()) {
                U16(static_cast<std::uint16_t>(0xC000 | known->second));
                return;
            }
            if (m_out.size() < 0x3FFF) {
                m_suffixes[rest] = m_out.size();
            }
            const std::size_t dot = rest.find('.');
            const std::string label = rest.substr(0, dot);
            m_out.push_back(static_cast<std::uint8_t>(label.size()));
            m_out.insert(m_out.end(), label.begin(), label.end());
            rest = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
        }
        m_out.push_back(0);
    }
    // Owner, type, class, TTL; the rdata length is patched by EndRecord.
    void BeginRecord(const std::string& owner, std::uint16_t type) {
        Name(owner);
        U16(type);
        U16(0x0001);
        U32(kTtl);
        m_lengthAt = m_out.size();
        U16(0);
    }
    void EndRecord() {
        const std::size_t length = m_out.size() - m_lengthAt - 2;
        m_out[m_lengthAt] = static_cast<std::uint8_t>(length >> 8);
        m_out[m_lengthAt + 1] = static_cast<std::uint8_t>(length);
        ++m_records;
    }
    void Bytes(const std::string& s) { m_out.insert(m_out.end(), s.begin(), s.end()); }
    void Byte(std::uint8_t b) { m_out.push_back(b); }
    bool Empty() const { return m_records == 0; }
    std::vector<std::uint8_t> Finish() {
        m_out[6] = static_cast<std::uint8_t>(m_records >> 8);
        m_out[7] = static_cast<std::uint8_t>(m_records);
        return m_out;
    }

private:
    std::vector<std::uint8_t> m_out;
    std::map<std::string, std::size_t> m_suffixes;
    std::size_t m_lengthAt = 0;
    std::uint16_t m_records = 0;
};

std::string InstanceName(const SimCamera& camera) {
    return camera.modelName + "-" + MdnsResponder::HostLabel(camera).substr(5) + "." + kService;
}

void WriteServiceRecords(Writer& w, const SimCamera& camera) {
    const std::string instance = InstanceName(camera);
    const std::string host = MdnsResponder::HostLabel(camera) + ".local";
    w.BeginRecord(kService, kTypePtr);
    w.Name(instance);
    w.EndRecord();
    w.BeginRecord(instance, kTypeSrv);
    w.U16(0);
    w.U16(0);
    w.U16(80);
    w.Name(host);
    w.EndRecord();
    w.BeginRecord(instance, kTypeTxt);
    for (const std::string& s : {std::string("txtvers=1"), "model=" + camera.modelName,
                                 MdnsResponder::CameraText(camera)}) {
        const std::string cut = s.substr(0, 255);
        w.Byte(static_cast<std::uint8_t>(cut.size()));
        w.Bytes(cut);
    }
    w.EndRecord();
}

void WriteAddressRecord(Writer& w, const SimCamera& camera) {
    w.BeginRecord(MdnsResponder::HostLabel(camera) + ".local", kTypeA);
    w.U32(camera.address);
    w.EndRecord();
}

// Reads the questions of a query: (lower-case name, type, class). Compressed names are followed.
bool ReadQuestions(const std::vector<std::uint8_t>& q,
                   std::vector<std::tuple<std::string, std::uint16_t, std::uint16_t>>& questions) {
    if (q.size() < 12 || (q[2] & 0x80) != 0) {
        return false;  // not a query
    }
    const unsigned count = (q[4] << 8) | q[5];
    std::size_t p = 12;
    for (unsigned i = 0; i < count; ++i) {
        std::string name;
        std::size_t at = p;
        std::size_t end = 0;
        int jumps = 0;
        for (;;) {
            if (at >= q.size()) {
                return false;
            }
            const std::uint8_t b = q[at];
            if ((b & 0xC0) == 0xC0) {
                if (at + 1 >= q.size() || ++jumps > 8) {
                    return false;
                }
                if (end == 0) {
                    end = at + 2;
                }
                at = ((b & 0x3F) << 8) | q[at + 1];
                continue;
            }
            if (b == 0) {
                if (end == 0) {
                    end = at + 1;
                }
                break;
            }
            if (at + 1 + b > q.size()) {
                return false;
            }
            if (!name.empty()) {
                name += '.';
            }
            name.append(reinterpret_cast<const char*>(&q[at + 1]), b);
            at += 1 + b;
        }
        if (end + 4 > q.size()) {
            return false;
        }
        questions.emplace_back(Lower(name), static_cast<std::uint16_t>((q[end] << 8) | q[end + 1]),
                               static_cast<std::uint16_t>((q[end + 2] << 8) | q[end + 3]));
        p = end + 4;
    }
    return true;
}

}  // namespace

std::string MdnsResponder::HostLabel(const SimCamera& camera) {
    char text[16];
    std::snprintf(text, sizeof text, "korv-QX%06X", static_cast<unsigned>(camera.mac & 0xFFFFFF));
    return text;
}

std::string MdnsResponder::CameraText(const SimCamera& camera) {
    char text[96];
    std::snprintf(text, sizeof text, "MAC=QX%06X-FW%u.%u-%04X%04X-%08X-%04X/",
                  static_cast<unsigned>(camera.mac & 0xFFFFFF), (camera.firmware >> 8) & 0xFF,
                  camera.firmware & 0xFF, camera.model & 0xFFFF, camera.extendedModel & 0xFFFF,
                  camera.features, camera.enclosure & 0xFFFF);
    return text + camera.modelName;
}

std::vector<std::vector<std::uint8_t>> MdnsResponder::BuildResponses(
    std::uint16_t id, const std::vector<const SimCamera*>& cameras) {
    std::vector<std::vector<std::uint8_t>> datagrams;
    Writer w(id);
    for (const SimCamera* camera : cameras) {
        Writer one(id);
        WriteServiceRecords(one, *camera);
        WriteAddressRecord(one, *camera);
        // Estimate the camera's share by writing it alone; a datagram that would outgrow the
        // budget is closed first, so each camera's records stay together.
        if (!w.Empty() && w.Size() + one.Size() - 12 > kDatagramBudget) {
            datagrams.push_back(w.Finish());
            w = Writer(id);
        }
        WriteServiceRecords(w, *camera);
        WriteAddressRecord(w, *camera);
    }
    if (!w.Empty()) {
        datagrams.push_back(w.Finish());
    }
    return datagrams;
}

MdnsResponder::MdnsResponder(const Simulator& simulator, MdnsOptions options)
    : m_simulator(simulator), m_options(options), m_random(options.faults.seed) {}

MdnsResponder::~MdnsResponder() {
    Stop();
}

bool MdnsResponder::Start(std::string& error) {
    if (m_receive >= 0) {
        return true;
    }
    if (!OpenSockets(error) || !StartThread("mdns responder", error)) {
        Stop();
        return false;
    }
    return true;
}

bool MdnsResponder::OpenSockets(std::string& error) {
    SocketOptions reuse;
    reuse.reuseAddress = true;
    m_receive = BindSocket(SOCK_DGRAM, kGroup, kPort, reuse, "mdns responder", error);
    if (m_receive < 0) {
        return false;
    }
    const in_addr interfaceAddress{htonl(m_options.interfaceAddress)};
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(kGroup);
    membership.imr_interface = interfaceAddress;
    if (setsockopt(m_receive, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        error = SystemError("mdns responder: join 224.0.0.251 on " +
                            AddressText(m_options.interfaceAddress));
        return false;
    }
    // Answers leave from the interface's address and port 5353, as receivers expect of mDNS.
    // The sending socket is connected to the group, so that it takes in nothing: a socket bound
    // to that address and port would otherwise, being more specific than the client's
    // wildcard-bound one, take the unicast answers meant for a client on the same host. Unicast
    // answers name their target each time, which a connected UDP socket allows.
    m_send =
        BindSocket(SOCK_DGRAM, m_options.interfaceAddress, kPort, reuse, "mdns responder", error);
    if (m_send < 0) {
        return false;
    }
    const unsigned char ttl = 255;
    const unsigned char loop = 1;
    const sockaddr_in group = MakeAddress(kGroup, kPort);
    if (setsockopt(m_send, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddress,
                   sizeof interfaceAddress) != 0 ||
        setsockopt(m_send, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(m_send, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0 ||
        connect(m_send, reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0) {
        error = SystemError("mdns responder: sending socket on " +
                            AddressText(m_options.interfaceAddress) + ":5353");
        return false;
    }
    return true;
}

void MdnsResponder::Stop() {
    StopThread();
    CloseDescriptor(m_receive);
    CloseDescriptor(m_send);
}

std::vector<std::uint16_t> MdnsResponder::QueryIds() const {
    std::lock_guard<std::mutex> guard(m_idsLock);
    return m_queryIds;
}

void MdnsResponder::Run() {
    using Clock = std::chrono::steady_clock;
    std::vector<std::uint8_t> buffer(9000);
    auto nextAnnounce = Clock::now();
    while (!Stopping()) {
        int timeout = -1;
        if (m_options.announceIntervalMs != 0) {
            const auto now = Clock::now();
            if (now >= nextAnnounce) {
                std::vector<const SimCamera*> all;
                for (const SimCamera& camera : m_simulator.Cameras()) {
                    all.push_back(&camera);
                }
                Send(BuildResponses(0, all), nullptr);
                ++m_announcements;
                nextAnnounce = now + std::chrono::milliseconds(m_options.announceIntervalMs);
            }
            timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           nextAnnounce - Clock::now())
                                           .count()) +
                      1;
        }
        sockaddr_in from{};
        if (const auto n = ReceiveFrom(m_receive, timeout, buffer, from)) {
            HandleQuery(
                std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(*n)),
                &from);
        }
    }
}

void MdnsResponder::HandleQuery(const std::vector<std::uint8_t>& query, const void* from) {
    std::vector<std::tuple<std::string, std::uint16_t, std::uint16_t>> questions;
    if (!ReadQuestions(query, questions) || questions.empty()) {
        return;  // responses (our own among them) and malformed datagrams
    }
    const std::uint16_t id = static_cast<std::uint16_t>((query[0] << 8) | query[1]);
    ++m_queries;
    {
        std::lock_guard<std::mutex> guard(m_idsLock);
        m_queryIds.push_back(id);
    }
    std::vector<const SimCamera*> answered;
    bool unicast = false;
    for (const auto& [name, type, qclass] : questions) {
        for (const SimCamera& camera : m_simulator.Cameras()) {
            const bool match = (type == kTypePtr && name == kService) ||
                               (type == kTypeA && name == Lower(HostLabel(camera) + ".local"));
            if (match) {
                answered.push_back(&camera);
                unicast = unicast || (qclass & 0x8000) != 0;
            }
        }
    }
    if (answered.empty()) {
        return;
    }
    if (m_options.faults.dropShare > 0.0) {
        m_random = m_random * 1103515245u + 12345u;
        if (static_cast<double>((m_random >> 8) & 0xFFFF) / 65536.0 < m_options.faults.dropShare) {
            ++m_dropped;
            return;
        }
    }
    if (!Pause(std::uint64_t{m_options.faults.delayMs} * 1000)) {
        return;
    }
    if (unicast) {
        ++m_unicastAnswers;
    } else {
        ++m_multicastAnswers;
    }
    const void* to = unicast ? from : nullptr;
    if (m_options.faults.splitCamera) {
        Writer first(id);
        WriteServiceRecords(first, *answered.front());
        Writer second(id);
        WriteAddressRecord(second, *answered.front());
        Send({first.Finish()}, to);
        if (!Pause(std::uint64_t{m_options.faults.splitGapMs} * 1000)) {
            return;
        }
        Send({second.Finish()}, to);
        answered.erase(answered.begin());
        if (answered.empty()) {
            return;
        }
    }
    Send(BuildResponses(id, answered), to);
}

void MdnsResponder::Send(const std::vector<std::vector<std::uint8_t>>& datagrams, const void* to) {
    const sockaddr_in target =
        to != nullptr ? *static_cast<const sockaddr_in*>(to) : MakeAddress(kGroup, kPort);
    for (const std::vector<std::uint8_t>& datagram : datagrams) {
        sendto(m_send, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
}

}  // namespace QXSim
