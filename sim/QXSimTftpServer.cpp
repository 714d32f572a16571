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
#include <iterator>
#include <optional>
#include <random>

#include "sim/QXSimSocket.h"

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
constexpr int kErrorNotFound = 1;
constexpr int kErrorOption = 8;
// Block sizes: plain TFTP's, the least an option may ask for, and the dialect's two grants.
constexpr int kPlainBlockSize = 512;
constexpr int kMinBlockSize = 8;
constexpr int kSmallBlockSize = 1450;
constexpr int kLargeBlockSize = 2904;
// How often a server that ignores the options sends block 1, each after five repeat times.
constexpr int kIgnoredOptionSends = 4;
constexpr int kIgnoredOptionWaitRepeats = 5;
// Both kinds of socket are large, so that a burst of DATA or of acknowledgements is not lost.
constexpr int kSocketBuffer = 4 << 20;
// What ReadAck gives besides a block number.
constexpr int kNoAck = -1;          // nothing came in time
constexpr int kOtherDatagram = -2;  // something that is no acknowledgement from the reader

int OpenUdp(std::uint32_t address, int* boundPort, std::uint16_t port = 0) {
    SocketOptions options;
    options.sendBuffer = kSocketBuffer;
    options.receiveBuffer = kSocketBuffer;
    std::string ignored;
    int s = BindSocket(SOCK_DGRAM, address, port, options, "tftp", ignored);
    if (s >= 0 && boundPort != nullptr) {
        *boundPort = LocalPort(s);
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
    std::uint64_t packets = 0;  // DATA packets sent
    std::uint64_t acks = 0;     // acknowledgements heard
    std::vector<std::uint8_t> ackBuffer = std::vector<std::uint8_t>(kMaxDatagram);

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
    m_socket = OpenUdp(m_config.address, &m_port, static_cast<std::uint16_t>(m_config.port));
    if (m_socket < 0) {
        error = "cannot bind the TFTP port " + std::to_string(m_config.port) + ": " +
                std::strerror(errno);
        return false;
    }
    if (!StartThread("tftp", error)) {
        CloseDescriptor(m_socket);
        return false;
    }
    return true;
}

void TftpServer::Stop() {
    StopThread([this] {
        std::vector<std::thread> sessions;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            sessions.swap(m_sessions);
        }
        for (std::thread& t : sessions) {
            t.join();
        }
    });
    CloseDescriptor(m_socket);
}

TftpStats TftpServer::Stats() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_stats;
}

void TftpServer::Run() {
    const auto serve = [this](const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
        if (size < 2) {
            return;
        }
        int opcode = (data[0] << 8) | data[1];
        if (opcode != kOpRrq && opcode != kOpWrq) {
            return;
        }
        std::vector<std::string> parts = SplitStrings(data + 2, size - 2);
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
    };
    ServeDatagrams(m_socket, serve);
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
    session.peer = MakeAddress(session.request.fromAddress,
                               static_cast<std::uint16_t>(session.request.fromPort));
    session.socket = OpenUdp(m_config.address, &session.port);
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
    int s = OpenUdp(injector, nullptr);
    if (s < 0) {
        return;
    }
    std::vector<std::vector<std::uint8_t>> forged;
    forged.push_back(ErrorPacket(0, "Injected error"));
    forged.push_back(OackPacket(blockSize == kLargeBlockSize ? kSmallBlockSize : kLargeBlockSize));
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

int TftpServer::ReadAck(Session& session, int ms) const {
    sockaddr_in from{};
    const auto n = ReceiveFrom(session.socket, ms, session.ackBuffer, from);
    const std::vector<std::uint8_t>& buffer = session.ackBuffer;
    if (!n) {
        return kNoAck;
    }
    if (*n != 4 || from.sin_port != session.peer.sin_port ||
        from.sin_addr.s_addr != session.peer.sin_addr.s_addr ||
        ((buffer[0] << 8) | buffer[1]) != kOpAck) {
        return kOtherDatagram;
    }
    return (buffer[2] << 8) | buffer[3];
}

void TftpServer::Finish(bool ok, const Session& session) {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++(ok ? m_stats.transfersCompleted : m_stats.transfersFailed);
    m_stats.dataPacketsSent += session.packets;
    m_stats.acksReceived += session.acks;
}

int TftpServer::GrantedBlockSize(const std::string& offered) const {
    const int size = std::atoi(offered.c_str());
    if (size < kMinBlockSize) {
        return 0;
    }
    return (m_config.force1450 || size < kLargeBlockSize) ? std::min(size, kSmallBlockSize)
                                                          : kLargeBlockSize;
}

void TftpServer::ServeRead(Session& session) {
    const TftpFaults& faults = m_config.faults;
    if (!LoadFile(session.request.file, session)) {
        session.Send(ErrorPacket(kErrorNotFound, "File not found"));
        Finish(false, session);
        return;
    }
    auto blk = session.request.options.find("blksize");
    const bool negotiate = blk != session.request.options.end() && !faults.dataInsteadOfOack;
    const int blockSize = negotiate ? GrantedBlockSize(blk->second) : kPlainBlockSize;
    if (blockSize == 0) {
        session.Send(ErrorPacket(kErrorOption, "Bad block size"));
        Finish(false, session);
        return;
    }
    if (faults.injectorAddress != 0) {
        Inject(faults.injectorAddress, session.peer, blockSize);
    }
    if (faults.dataInsteadOfOack) {
        ServeIgnoringOptions(session);
        Finish(false, session);
    } else if (!negotiate) {
        Finish(ServePlain(session), session);
    } else {
        Finish(AwaitStart(session, blockSize) && ServeWindow(session, blockSize), session);
    }
}

bool TftpServer::ServePlain(Session& session) {
    // Plain TFTP (RFC 1350), so that stock clients can read: 512-byte blocks, each alone in its
    // datagram and sent again until it is acknowledged, the next one only then. The options of
    // such a request are ignored, as RFC 2347 lets a server do.
    DataSender sender(session.socket, session.peer, m_config.faults, kPlainBlockSize, session.size,
                      session.Bytes());
    for (std::int64_t block = 1; block <= sender.Blocks(); ++block) {
        auto lastHeard = Clock::now();
        bool acknowledged = false;
        while (!acknowledged) {
            if (Stopping() ||
                Clock::now() - lastHeard > std::chrono::milliseconds(m_config.giveUpMs) ||
                !sender.SendBlocks({block}, session.packets)) {
                return false;
            }
            const auto repeatAt = Clock::now() + std::chrono::milliseconds(m_config.repeatMs);
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(repeatAt - Clock::now());
                const int ack =
                    ReadAck(session, static_cast<int>(std::max<std::int64_t>(0, left.count())));
                if (ack == kNoAck) {
                    break;
                }
                if (ack >= 0) {
                    ++session.acks;
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

void TftpServer::ServeIgnoringOptions(Session& session) {
    DataSender sender(session.socket, session.peer, TftpFaults{}, kPlainBlockSize, session.size,
                      session.Bytes());
    for (int i = 0; i < kIgnoredOptionSends && !Stopping(); ++i) {
        sender.SendBlocks({1}, session.packets);
        if (ReadAck(session, m_config.repeatMs * kIgnoredOptionWaitRepeats) >= 0) {
            ++session.acks;
            break;
        }
    }
}

bool TftpServer::AwaitStart(Session& session, int blockSize) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_config.giveUpMs);
    const std::vector<std::uint8_t> oack = OackPacket(blockSize);
    session.Send(oack);
    while (!Stopping() && Clock::now() < deadline) {
        const int ack = ReadAck(session, m_config.repeatMs);
        if (ack == 0) {
            ++session.acks;
            if (m_config.faults.injectorAddress != 0) {
                Inject(m_config.faults.injectorAddress, session.peer, blockSize);
            }
            return true;
        }
        if (ack == kNoAck) {
            session.Send(oack);
        }
    }
    return false;
}

bool TftpServer::ServeWindow(Session& session, int blockSize) {
    const TftpFaults& faults = m_config.faults;
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
    while (base <= last && !Stopping()) {
        // New blocks go out once a whole datagram's worth fits the window (or the file ends),
        // so that acknowledgements trickling in do not turn into one datagram per block.
        std::vector<std::int64_t> fresh;
        if (base + window - next >= perDatagram || last - next < perDatagram) {
            while (next <= last && next < base + window) {
                fresh.push_back(blockAt(next++));
            }
        }
        if (!fresh.empty() && !sender.SendBlocks(fresh, session.packets)) {
            return false;
        }
        int ack = ReadAck(session, m_config.repeatMs);
        if (ack == kOtherDatagram) {
            continue;
        }
        if (ack >= 0) {
            lastHeard = Clock::now();
            // Drain what is queued without waiting, then look at the window again.
            do {
                if (ack >= 0) {
                    ++session.acks;
                    std::int64_t b = Unwrap(ack, blockAt(base));
                    if (b >= 1 && b <= last) {
                        acked[static_cast<std::size_t>(b)] = true;
                    }
                }
                ack = ReadAck(session, 0);
            } while (ack != kNoAck);
            while (base <= last && acked[static_cast<std::size_t>(blockAt(base))]) {
                ++base;
            }
            continue;
        }
        if (Clock::now() - lastHeard > std::chrono::milliseconds(m_config.giveUpMs)) {
            return false;
        }
        std::vector<std::int64_t> again;
        for (std::int64_t p = base; p < next; ++p) {
            if (!acked[static_cast<std::size_t>(blockAt(p))]) {
                again.push_back(blockAt(p));
            }
        }
        if (!sender.SendBlocks(again, session.packets)) {
            return false;
        }
    }
    return base > last;
}

}  // namespace QXSim
