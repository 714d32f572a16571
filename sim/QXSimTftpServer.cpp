#include "sim/QXSimTftpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>

namespace QXSim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxDatagram = 8192;
constexpr int kOpRrq = 1;
constexpr int kOpWrq = 2;
constexpr int kOpData = 3;
constexpr int kOpAck = 4;
constexpr int kOpError = 5;
constexpr int kOpOack = 6;
// Slices of the listener's and sessions' waits, so that Stop is noticed quickly.
constexpr int kPollSliceMs = 50;

sockaddr_in MakeAddress(std::uint32_t hostOrder, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrder);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int OpenUdp(std::uint32_t address, int port, int* boundPort) {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        return -1;
    }
    int size = 4 << 20;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in a = MakeAddress(address, port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (boundPort != nullptr) {
        *boundPort = ntohs(a.sin_port);
    }
    return s;
}

void Put16(std::vector<std::uint8_t>& out, int value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::vector<std::uint8_t> ErrorPacket(int code, const std::string& text) {
    std::vector<std::uint8_t> p;
    Put16(p, kOpError);
    Put16(p, code);
    p.insert(p.end(), text.begin(), text.end());
    p.push_back(0);
    return p;
}

std::vector<std::uint8_t> OackPacket(int blockSize) {
    std::vector<std::uint8_t> p;
    Put16(p, kOpOack);
    std::string body = std::string("blksize") + '\0' + std::to_string(blockSize) + '\0';
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// Splits "name\0value\0..." into strings; a missing final terminator ends the last one.
std::vector<std::string> SplitStrings(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> out;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            out.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty()) {
        out.push_back(current);
    }
    return out;
}

// Waits up to ms for the socket to become readable; false on time-out or stop.
bool WaitReadable(int s, int ms) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace

struct TftpServer::Session {
    TftpRequest request;
    sockaddr_in peer{};
    int socket = -1;
    int port = 0;
    // The file: either bytes (in memory or loaded) or a generated size.
    const std::vector<std::uint8_t>* bytes = nullptr;
    std::vector<std::uint8_t> loaded;
    std::uint64_t size = 0;
    bool generated = false;

    const std::uint8_t* Bytes() const { return generated ? nullptr : bytes->data(); }
    void SendTo(const std::vector<std::uint8_t>& p, const sockaddr_in& to) const {
        ::sendto(socket, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void Send(const std::vector<std::uint8_t>& p) const { SendTo(p, peer); }
};

TftpServer::TftpServer(TftpServerConfig config) : m_config(std::move(config)) {}

TftpServer::~TftpServer() {
    Stop();
}

bool TftpServer::Start(std::string& error) {
    if (m_socket >= 0) {
        error = "TFTP service already started";
        return false;
    }
    m_socket = OpenUdp(m_config.address, m_config.port, &m_port);
    if (m_socket < 0) {
        error = "cannot bind the TFTP port " + std::to_string(m_config.port) + ": " +
                std::strerror(errno);
        return false;
    }
    m_stop = false;
    m_listener = std::thread([this] { ListenLoop(); });
    return true;
}

void TftpServer::Stop() {
    m_stop = true;
    if (m_listener.joinable()) {
        m_listener.join();
    }
    std::vector<std::thread> sessions;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        sessions.swap(m_sessions);
    }
    for (std::thread& t : sessions) {
        t.join();
    }
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
}

TftpStats TftpServer::Stats() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_stats;
}

void TftpServer::ListenLoop() {
    std::vector<std::uint8_t> buffer(65536);
    while (!m_stop) {
        if (!WaitReadable(m_socket, kPollSliceMs)) {
            continue;
        }
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(m_socket, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 2) {
            continue;
        }
        int opcode = (buffer[0] << 8) | buffer[1];
        if (opcode != kOpRrq && opcode != kOpWrq) {
            continue;
        }
        std::vector<std::string> parts =
            SplitStrings(buffer.data() + 2, static_cast<std::size_t>(n) - 2);
        TftpRequest request;
        request.opcode = opcode;
        request.file = parts.empty() ? std::string() : parts[0];
        request.mode = parts.size() > 1 ? parts[1] : std::string();
        for (std::size_t i = 2; i + 1 < parts.size(); i += 2) {
            std::string key = parts[i];
            std::transform(key.begin(), key.end(), key.begin(), ::tolower);
            request.options[key] = parts[i + 1];
        }
        request.fromAddress = ntohl(from.sin_addr.s_addr);
        request.fromPort = ntohs(from.sin_port);
        request.toPort = m_port;
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stats.requests.push_back(request);
        m_sessions.emplace_back([this, request] { Serve(request); });
    }
}

bool TftpServer::LoadFile(const std::string& name, Session& session) const {
    auto mem = m_config.files.find(name);
    if (mem != m_config.files.end()) {
        session.bytes = &mem->second;
        session.size = mem->second.size();
        return true;
    }
    auto gen = m_config.generated.find(name);
    if (gen != m_config.generated.end()) {
        session.generated = true;
        session.size = gen->second;
        return true;
    }
    if (m_config.folder.empty() || name.empty() || name[0] == '/' ||
        name.find("..") != std::string::npos) {
        return false;
    }
    std::ifstream in(m_config.folder + "/" + name, std::ios::binary);
    if (!in) {
        return false;
    }
    session.loaded.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    session.bytes = &session.loaded;
    session.size = session.loaded.size();
    return true;
}

void TftpServer::Serve(TftpRequest request) {
    const TftpFaults& faults = m_config.faults;
    if (faults.stallAtBlock == 0) {
        return;
    }
    Session session;
    session.request = std::move(request);
    session.peer = MakeAddress(session.request.fromAddress, session.request.fromPort);
    session.socket = OpenUdp(m_config.address, 0, &session.port);
    if (session.socket < 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stats.transferPorts.push_back(session.port);
    }
    if (session.request.opcode == kOpWrq) {
        ServeWrite(session);
    } else {
        ServeRead(session);
    }
    ::close(session.socket);
}

void TftpServer::ServeWrite(Session& session) {
    std::vector<std::uint8_t> ack;
    Put16(ack, kOpAck);
    Put16(ack, m_config.faults.writeAckBlock & 0xFFFF);
    session.Send(ack);
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_stats.transfersCompleted;
}

namespace {

// The DATA phase of one read: the window, the repeats, the packing of datagrams and the faults.
class DataSender {
public:
    DataSender(int socket, const sockaddr_in& peer, const TftpFaults& faults, int blockSize,
               std::uint64_t size, const std::uint8_t* bytes)
        : m_socket(socket),
          m_peer(peer),
          m_faults(faults),
          m_blockSize(blockSize),
          m_size(size),
          m_bytes(bytes),
          m_random(faults.seed) {
        m_blocks = static_cast<std::int64_t>(size / static_cast<std::uint64_t>(blockSize)) + 1;
    }

    std::int64_t Blocks() const { return m_blocks; }

    // Sends the given blocks in sending order, packed into datagrams; false once an ERROR went
    // out.
    bool SendBlocks(const std::vector<std::int64_t>& blocks, std::uint64_t& packetsSent) {
        std::vector<std::int64_t> list;
        for (std::int64_t b : blocks) {
            if (b == m_faults.errorAtBlock) {
                Flush(list, packetsSent);
                SendRaw(ErrorPacket(0, "Simulated failure at block " + std::to_string(b)));
                return false;
            }
            if (m_faults.stallAtBlock > 0 && b >= m_faults.stallAtBlock) {
                break;
            }
            if (Chance(m_faults.dropBlocks)) {
                continue;
            }
            list.push_back(b);
            if (b != m_blocks && Chance(m_faults.duplicateBlocks)) {
                list.push_back(b);
            }
        }
        Flush(list, packetsSent);
        if (m_held.has_value()) {
            SendRaw(*m_held);
            m_held.reset();
        }
        return true;
    }

private:
    bool Chance(double p) {
        return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_random) < p;
    }

    std::size_t PayloadSize(std::int64_t block) const {
        std::uint64_t start = static_cast<std::uint64_t>(block - 1) * m_blockSize;
        return static_cast<std::size_t>(std::min<std::uint64_t>(m_blockSize, m_size - start));
    }

    void AppendPacket(std::vector<std::uint8_t>& out, std::int64_t block) const {
        Put16(out, kOpData);
        Put16(out, static_cast<int>(block & 0xFFFF));
        std::uint64_t start = static_cast<std::uint64_t>(block - 1) * m_blockSize;
        std::size_t n = PayloadSize(block);
        const std::size_t at = out.size();
        out.resize(at + n);
        if (m_bytes != nullptr) {
            std::memcpy(out.data() + at, m_bytes + start, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                out[at + i] = TftpServer::GeneratedByte(start + i);
            }
        }
    }

    // Packs full packets back to back, at most as many as fit in 8192 bytes, the short final
    // packet last in whichever datagram still has room for it.
    void Flush(std::vector<std::int64_t>& list, std::uint64_t& packetsSent) {
        const std::size_t full = static_cast<std::size_t>(m_blockSize) + 4;
        const std::size_t perDatagram = std::max<std::size_t>(1, kMaxDatagram / full);
        std::vector<std::int64_t> fullBlocks;
        std::vector<std::int64_t> shortBlocks;
        for (std::int64_t b : list) {
            (PayloadSize(b) == static_cast<std::size_t>(m_blockSize) ? fullBlocks : shortBlocks)
                .push_back(b);
        }
        list.clear();
        std::size_t i = 0;
        while (i < fullBlocks.size() || !shortBlocks.empty()) {
            std::vector<std::int64_t> group;
            while (i < fullBlocks.size() && group.size() < perDatagram) {
                group.push_back(fullBlocks[i++]);
            }
            if (Chance(m_faults.reorderBlocks)) {
                std::shuffle(group.begin(), group.end(), m_random);
            }
            std::vector<std::uint8_t> datagram;
            for (std::int64_t b : group) {
                AppendPacket(datagram, b);
            }
            if (!shortBlocks.empty() &&
                datagram.size() + PayloadSize(shortBlocks.front()) + 4 <= kMaxDatagram) {
                AppendPacket(datagram, shortBlocks.front());
                group.push_back(shortBlocks.front());
                shortBlocks.erase(shortBlocks.begin());
            }
            packetsSent += group.size();
            SendDatagram(datagram);
        }
    }

    void SendDatagram(const std::vector<std::uint8_t>& datagram) {
        if (m_faults.datagramDelayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(m_faults.datagramDelayMs));
        }
        if (Chance(m_faults.dropDatagrams)) {
            return;
        }
        if (!m_held.has_value() && Chance(m_faults.reorderDatagrams)) {
            m_held = datagram;
            return;
        }
        SendRaw(datagram);
        if (Chance(m_faults.duplicateDatagrams)) {
            SendRaw(datagram);
        }
        if (m_held.has_value()) {
            SendRaw(*m_held);
            m_held.reset();
        }
    }

    void SendRaw(const std::vector<std::uint8_t>& p) {
        // A full socket buffer on loopback only delays: wait until the reader drains it.
        while (::sendto(m_socket, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&m_peer),
                        sizeof m_peer) < 0 &&
               (errno == ENOBUFS || errno == EAGAIN)) {
            pollfd w{m_socket, POLLOUT, 0};
            ::poll(&w, 1, 5);
        }
    }

    int m_socket;
    sockaddr_in m_peer;
    // A copy: the sender of a server that ignores the block-size option is given a temporary.
    const TftpFaults m_faults;
    int m_blockSize;
    std::uint64_t m_size;
    const std::uint8_t* m_bytes;  // null: generated content
    std::mt19937 m_random;
    std::int64_t m_blocks = 0;
    std::optional<std::vector<std::uint8_t>> m_held;
};

// The block a 16-bit acknowledgement stands for: the one nearest to `reference`.
std::int64_t Unwrap(int block16, std::int64_t reference) {
    std::uint16_t diff = static_cast<std::uint16_t>(block16 - static_cast<int>(reference & 0xFFFF));
    return diff < 0x8000 ? reference + diff : reference - (0x10000 - diff);
}

// Sends forged packets from a foreign loopback address to the reader.
void Inject(std::uint32_t injector, const sockaddr_in& peer, int blockSize) {
    int s = OpenUdp(injector, 0, nullptr);
    if (s < 0) {
        return;
    }
    std::vector<std::vector<std::uint8_t>> forged;
    forged.push_back(ErrorPacket(0, "Injected error"));
    forged.push_back(OackPacket(blockSize == 2904 ? 1450 : 2904));
    for (int b = 1; b <= 3; ++b) {
        std::vector<std::uint8_t> p;
        Put16(p, kOpData);
        Put16(p, b);
        p.insert(p.end(), static_cast<std::size_t>(b == 3 ? 10 : blockSize), 'X');
        forged.push_back(p);
    }
    for (const auto& p : forged) {
        ::sendto(s, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    }
    ::close(s);
}

}  // namespace

bool TftpServer::ServePlain(Session& session, std::uint64_t& packets, std::uint64_t& acks,
                            const std::function<int(int)>& readAck) {
    // Plain TFTP (RFC 1350), so that stock clients can read: 512-byte blocks, each alone in its
    // datagram and sent again until it is acknowledged, the next one only then. The options of
    // such a request are ignored, as RFC 2347 lets a server do.
    DataSender sender(session.socket, session.peer, m_config.faults, 512, session.size,
                      session.Bytes());
    for (std::int64_t block = 1; block <= sender.Blocks(); ++block) {
        auto lastHeard = Clock::now();
        bool acknowledged = false;
        while (!acknowledged) {
            if (m_stop || Clock::now() - lastHeard > std::chrono::milliseconds(m_config.giveUpMs) ||
                !sender.SendBlocks({block}, packets)) {
                return false;
            }
            const auto repeatAt = Clock::now() + std::chrono::milliseconds(m_config.repeatMs);
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(repeatAt - Clock::now());
                const int ack = readAck(static_cast<int>(std::max<std::int64_t>(0, left.count())));
                if (ack == -1) {
                    break;
                }
                if (ack >= 0) {
                    ++acks;
                    lastHeard = Clock::now();
                    if (ack == (block & 0xFFFF)) {
                        acknowledged = true;
                        break;
                    }
                }
                // Other datagrams, however many, do not put the repeat off.
                if (Clock::now() >= repeatAt) {
                    break;
                }
            }
        }
    }
    return true;
}

void TftpServer::ServeRead(Session& session) {
    const TftpFaults& faults = m_config.faults;
    auto finish = [this](bool ok, std::uint64_t packets, std::uint64_t acks) {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++(ok ? m_stats.transfersCompleted : m_stats.transfersFailed);
        m_stats.dataPacketsSent += packets;
        m_stats.acksReceived += acks;
    };
    if (!LoadFile(session.request.file, session)) {
        session.Send(ErrorPacket(1, "File not found"));
        finish(false, 0, 0);
        return;
    }
    auto blk = session.request.options.find("blksize");
    int blockSize = 512;
    bool negotiate = blk != session.request.options.end() && !faults.dataInsteadOfOack;
    if (negotiate) {
        int offered = std::atoi(blk->second.c_str());
        if (offered < 8) {
            session.Send(ErrorPacket(8, "Bad block size"));
            finish(false, 0, 0);
            return;
        }
        blockSize = (m_config.force1450 || offered < 2904) ? std::min(offered, 1450) : 2904;
    }
    std::uint8_t buffer[kMaxDatagram];
    // Reads one acknowledgement from the reader within ms; -1 when none came.
    auto readAck = [&](int ms) -> int {
        if (!WaitReadable(session.socket, ms)) {
            return -1;
        }
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(session.socket, buffer, sizeof buffer, 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n != 4 || from.sin_port != session.peer.sin_port ||
            from.sin_addr.s_addr != session.peer.sin_addr.s_addr ||
            ((buffer[0] << 8) | buffer[1]) != kOpAck) {
            return -2;
        }
        return (buffer[2] << 8) | buffer[3];
    };

    if (faults.injectorAddress != 0) {
        Inject(faults.injectorAddress, session.peer, blockSize);
    }
    std::uint64_t acks = 0;
    std::uint64_t packets = 0;
    if (!negotiate && !faults.dataInsteadOfOack) {
        const bool ok = ServePlain(session, packets, acks, readAck);
        finish(ok, packets, acks);
        return;
    }
    if (!negotiate) {
        // Like a server that ignores the option: DATA block 1 straight away, repeated a few
        // times, and nothing more unless it is acknowledged.
        DataSender sender(session.socket, session.peer, TftpFaults{}, blockSize, session.size,
                          session.Bytes());
        for (int i = 0; i < 4 && !m_stop; ++i) {
            sender.SendBlocks({1}, packets);
            int ack = readAck(m_config.repeatMs * 5);
            if (ack >= 0) {
                ++acks;
                break;
            }
        }
        finish(false, packets, acks);
        return;
    }

    // Option acknowledgement until block 0 is acknowledged.
    auto deadline = Clock::now() + std::chrono::milliseconds(m_config.giveUpMs);
    bool started = false;
    std::vector<std::uint8_t> oack = OackPacket(blockSize);
    session.Send(oack);
    while (!m_stop && Clock::now() < deadline) {
        int ack = readAck(m_config.repeatMs);
        if (ack == 0) {
            ++acks;
            started = true;
            break;
        }
        if (ack == -1) {
            session.Send(oack);
        }
    }
    if (!started) {
        finish(false, 0, acks);
        return;
    }
    if (faults.injectorAddress != 0) {
        Inject(faults.injectorAddress, session.peer, blockSize);
    }

    DataSender sender(session.socket, session.peer, faults, blockSize, session.size,
                      session.Bytes());
    const std::int64_t last = sender.Blocks();
    std::vector<bool> acked(static_cast<std::size_t>(last) + 1, false);
    // The window runs over positions in sending order; with firstBlockLast the order is
    // 2..last, 1.
    auto blockAt = [&](std::int64_t position) {
        return faults.firstBlockLast && last > 1 ? (position < last ? position + 1 : 1) : position;
    };
    const std::int64_t perDatagram = std::max(1, kMaxDatagram / (blockSize + 4));
    const std::int64_t window =
        std::max<std::int64_t>(perDatagram, m_config.windowBytes / (blockSize + 4));
    std::int64_t base = 1;  // oldest block not acknowledged
    std::int64_t next = 1;  // first block never sent
    auto lastHeard = Clock::now();
    bool ok = true;
    while (base <= last && !m_stop) {
        // New blocks go out once a whole datagram's worth fits the window (or the file ends),
        // so that acknowledgements trickling in do not turn into one datagram per block.
        std::vector<std::int64_t> fresh;
        if (base + window - next >= perDatagram || last - next < perDatagram) {
            while (next <= last && next < base + window) {
                fresh.push_back(blockAt(next++));
            }
        }
        if (!fresh.empty() && !sender.SendBlocks(fresh, packets)) {
            ok = false;
            break;
        }
        int ack = readAck(m_config.repeatMs);
        if (ack == -2) {
            continue;
        }
        if (ack >= 0) {
            lastHeard = Clock::now();
            // Drain what is queued without waiting, then look at the window again.
            do {
                if (ack >= 0) {
                    ++acks;
                    std::int64_t b = Unwrap(ack, blockAt(base));
                    if (b >= 1 && b <= last) {
                        acked[static_cast<std::size_t>(b)] = true;
                    }
                }
                ack = readAck(0);
            } while (ack != -1);
            while (base <= last && acked[static_cast<std::size_t>(blockAt(base))]) {
                ++base;
            }
            continue;
        }
        if (Clock::now() - lastHeard > std::chrono::milliseconds(m_config.giveUpMs)) {
            ok = false;
            break;
        }
        std::vector<std::int64_t> again;
        for (std::int64_t p = base; p < next; ++p) {
            if (!acked[static_cast<std::size_t>(blockAt(p))]) {
                again.push_back(blockAt(p));
            }
        }
        if (!sender.SendBlocks(again, packets)) {
            ok = false;
            break;
        }
    }
    finish(ok && base > last, packets, acks);
}

}  // namespace QXSim
