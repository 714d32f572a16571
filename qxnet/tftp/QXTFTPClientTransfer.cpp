// File transfer of TFTPClient: read and write requests, the waits for the camera's answers, the
// collection of DATA batches into whole files, and the asynchronous read on the receive thread.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/common/QXThreadStart.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/platform/QXSync.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace QXSDK {

namespace {

constexpr const wchar_t* kSource = L"QXTFTPClient";
constexpr int kUnexpected = static_cast<int>(QX::ResultCode::Unexpected);
constexpr int kTimedOut = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int kBufferTooSmall = static_cast<int>(QX::ResultCode::BufferTooSmall);
constexpr int kUnavailable = static_cast<int>(QX::ResultCode::Unavailable);
// TFTP error code of a refused option acknowledgement (RFC 2347).
constexpr unsigned char kOptionRefused = 8;
// The longest ERROR text taken over: the packet's bytes from offset 4 up to offset 1024.
constexpr int kErrorTextMax = 1020;
// Silence that ends the waits: the single-packet reception's and the batch reception's windows.
constexpr DWORD kReplyWindowMs = QXSDK::TFTPClient::ReceiveTimeoutUs / 1000;
constexpr DWORD kDataWindowMs = QXSDK::TFTPClient::BatchTimeoutUs / 1000;

// The packet tests read a packet's bytes and length (-1 for one that did not fit), wherever it
// lies: in a TFTPPacket or in place in a received datagram.
bool IsErrorPacket(const unsigned char* packet, int length) {
    return length >= 4 && TFTPPacket::OpcodeOf(packet, length) == TFTPPacket::OpERROR;
}

bool IsOptionAck(const unsigned char* packet, int length) {
    return length >= TFTPPacket::OackMinLength &&
           TFTPPacket::OpcodeOf(packet, length) == TFTPPacket::OpOACK;
}

int BlockField(const unsigned char* packet) {
    return (packet[2] << 8) | packet[3];
}

// The text of an ERROR packet: the 8-bit string from offset 4, at most kErrorTextMax bytes.
void ErrorText(const unsigned char* packet, int length, char (&text)[kErrorTextMax + 1]) {
    int available = length - 4;
    if (available > kErrorTextMax) {
        available = kErrorTextMax;
    }
    int n = 0;
    while (n < available && packet[4 + n] != 0) {
        text[n] = static_cast<char>(packet[4 + n]);
        ++n;
    }
    text[n] = '\0';
}

// Block numbers are 16 bits on the wire; a file of more than 65535 blocks wraps them. A wire
// number stands for every block 65536 apart; it is placed in the 65536 numbers that start
// kRepeatReach below the first missing block (never below block 1). Every missing block lies at
// or above that gap, so a block that fills a gap lands in it whatever the order of arrival: in
// any file of up to 65535 blocks (a camera may send blocks 2..N before block 1), and past the
// wrap while the camera runs less than 32768 blocks ahead of the gap, far beyond any sender's
// window. A repeat of a block up to kRepeatReach behind the gap is recognised as a repeat.
constexpr int kRepeatReach = 0x8000;

int PlaceBlock(int wireBlock, int firstGap) {
    const int lowest = firstGap > kRepeatReach ? firstGap - kRepeatReach : 1;
    return lowest + ((wireBlock - lowest) & 0xFFFF);
}

// The blocks of a read, filed by number: payloads in slabs of about kSlabBytes, each allocated
// when a block in it first arrives and freed once delivered, so a file is held about once (no
// packet copy per block, no node per block). Lengths are kept per block, -1 for a missing one.
// Blocks are placed at most 65535 beyond the first gap (PlaceBlock), so a camera that scatters
// block numbers makes at most 65535 blocks' worth of slabs beyond its file (under 200 MB at 2904
// bytes a block).
class BlockStore {
public:
    // Below the allocator's threshold for mapping blocks of its own (128 KB by default), so that
    // slabs come from the heap: a slab freed as it is delivered is memory that the caller's
    // stream, allocating as it is written, takes over while it is still mapped, instead of both
    // faulting in a fresh copy of the file.
    static constexpr int kSlabBytes = 0x10000;

    explicit BlockStore(int blockSize)
        : m_blockSize(static_cast<std::size_t>(blockSize)),
          m_slabBlocks(blockSize < kSlabBytes ? kSlabBytes / blockSize : 1) {}

    int Length(int block) const {
        return block < static_cast<int>(m_lengths.size()) ? m_lengths[block] : -1;
    }
    int Highest() const { return m_highest; }
    std::size_t Count() const { return m_count; }
    std::uint64_t Bytes() const { return m_bytes; }

    // Files a payload of at most the block size; false when the block is already held.
    bool Add(int block, const unsigned char* payload, int length) {
        if (Length(block) >= 0) {
            return false;
        }
        if (block >= static_cast<int>(m_lengths.size())) {
            m_lengths.resize(static_cast<std::size_t>(block + m_slabBlocks), -1);
        }
        const std::size_t slab = static_cast<std::size_t>(block / m_slabBlocks);
        if (slab >= m_slabs.size()) {
            m_slabs.resize(slab + 1);
        }
        if (!m_slabs[slab]) {
            m_slabs[slab].reset(
                new unsigned char[static_cast<std::size_t>(m_slabBlocks) * m_blockSize]);
        }
        std::memcpy(Place(block), payload, static_cast<std::size_t>(length));
        m_lengths[block] = static_cast<std::int16_t>(length);
        m_bytes += static_cast<std::uint64_t>(length);
        ++m_count;
        m_highest = block > m_highest ? block : m_highest;
        return true;
    }

    // Forgets every block above last.
    void DropAbove(int last) {
        for (int block = last + 1; block <= m_highest; ++block) {
            if (m_lengths[block] >= 0) {
                m_bytes -= static_cast<std::uint64_t>(m_lengths[block]);
                m_lengths[block] = -1;
                --m_count;
            }
        }
        while (m_highest > 0 && Length(m_highest) < 0) {
            --m_highest;
        }
    }

    // Writes blocks 1..last-1 to the stream in order, one write per block as callers' streams
    // expect, freeing each slab once its blocks are written.
    void Deliver(int last, IStream* stream) {
        for (int block = 1; block < last; ++block) {
            Write(stream, Place(block), static_cast<std::uint32_t>(m_lengths[block]));
            if ((block + 1) % m_slabBlocks == 0) {
                m_slabs[static_cast<std::size_t>(block / m_slabBlocks)].reset();
            }
        }
    }

    // Where a block's payload lies in its slab.
    unsigned char* Place(int block) const {
        return m_slabs[static_cast<std::size_t>(block / m_slabBlocks)].get() +
               static_cast<std::size_t>(block % m_slabBlocks) * m_blockSize;
    }

private:
    static void Write(IStream* stream, const unsigned char* payload, std::uint32_t length) {
        if (stream != nullptr) {
            stream->Write(payload, length);
        }
    }

    std::size_t m_blockSize;
    int m_slabBlocks;
    std::vector<std::unique_ptr<unsigned char[]>> m_slabs;
    std::vector<std::int16_t> m_lengths;
    std::size_t m_count = 0;
    std::uint64_t m_bytes = 0;
    int m_highest = 0;
};

// Microseconds left of a window of windowMs that began at since; 0 once it is over.
std::uint32_t WindowLeftUs(DWORD windowMs, DWORD since) {
    const DWORD elapsed = QX::TickCount() - since;
    return elapsed >= windowMs ? 0 : static_cast<std::uint32_t>(windowMs - elapsed) * 1000;
}

// Throws the client's error text with code once the lock is let go, so that a handler may use
// the client at once.
[[noreturn]] void ThrowUnlocked(QX::ScopedLock& guard, const wchar_t* error, std::uint32_t code,
                                int line) {
    QX::Exception failure(error, code, line, kSource);
    guard.Release();
    throw failure;
}

}  // namespace

void TFTPClient::SetProgressCallback(ProgressCallback callback, void* context) {
    QX::ScopedLock guard(lock);
    progressCallback = callback;
    progressContext = context;
}

// Transfers talk to one camera: a packet from any other address takes no part in them, whatever
// port it comes from (the camera answers from a fresh transfer port), so another host on the
// network can neither inject blocks nor end a transfer with a forged ERROR packet. Such packets
// do not restart a wait's window either, so a stream of them cannot hold a wait open.
bool TFTPClient::FromCamera(const QX::SocketAddressV4& sender) const {
    return sender.address == remote.address;
}

// Sent for every DATA packet: the four bytes go out without building a whole packet.
int TFTPClient::SendAck(int block) {
    const unsigned char ack[4] = {0, static_cast<unsigned char>(TFTPPacket::OpACK),
                                  static_cast<unsigned char>((block >> 8) & 0xFF),
                                  static_cast<unsigned char>(block & 0xFF)};
    return SendBytes(ack, 4);
}

// Receives until a packet from the camera arrives. Packets from other hosts are dropped and do
// not restart the reply window: each reception waits only for what is left of it, so a stream
// of them cannot hold a wait open.
int TFTPClient::ReceiveFromCamera(TFTPPacket* packet, DWORD* quietSince) {
    for (;;) {
        const std::uint32_t left = WindowLeftUs(kReplyWindowMs, *quietSince);
        if (left == 0) {
            SetError(L"%s::Receive(): select() Timeout", name);
            return kTimedOut;
        }
        const int result = ReceiveDatagram(packet, left);
        if (result != 0) {
            return result;
        }
        if (FromCamera(packet->from)) {
            *quietSince = QX::TickCount();
            return 0;
        }
    }
}

void TFTPClient::RefuseOptions() {
    static constexpr char kText[] = "Block size not supported";
    TFTPPacket refusal(0);
    const unsigned char head[4] = {0, static_cast<unsigned char>(TFTPPacket::OpERROR), 0,
                                   kOptionRefused};
    refusal.AddMem(head, 4);
    refusal.AddMem(kText, sizeof kText);
    Send(&refusal);
}

int TFTPClient::ErrorPacketReceived(const unsigned char* packet, int length,
                                    const wchar_t* operation) {
    char text[kErrorTextMax + 1];
    ErrorText(packet, length, text);
    SetError(L"%s::%s(): Error packet received <%S>", name, operation, text);
    return kUnexpected;
}

template <typename Accept>
int TFTPClient::WaitForReply(const wchar_t* operation, Accept accept) {
    TFTPPacket packet(0);
    DWORD quietSince = QX::TickCount();
    for (;;) {
        const int result = ReceiveFromCamera(&packet, &quietSince);
        if (result != 0) {
            return result;
        }
        if (const std::optional<int> taken = accept(packet)) {
            return *taken;
        }
        if (IsErrorPacket(packet.data, packet.length)) {
            return ErrorPacketReceived(packet.data, packet.length, operation);
        }
    }
}

int TFTPClient::WaitForOpAck() {
    return WaitForReply(L"WaitForOpAck", [this](const TFTPPacket& packet) -> std::optional<int> {
        if (!IsOptionAck(packet.data, packet.length)) {
            return std::nullopt;
        }
        remote.port = packet.from.port;
        const int sizeClass = packet.GrantedSizeClass();
        // Any other grant would be read in the wrong class: its first block would pass for the
        // short final one and the read would succeed with part of the file. The grant is
        // refused (RFC 2347: ERROR 8) and the attempt fails.
        if (sizeClass < 0) {
            RefuseOptions();
            SetError(L"%s::WaitForOpAck(): Block size not granted", name);
            return kUnexpected;
        }
        useDoublePackets = sizeClass == 1;
        return 0;
    });
}

int TFTPClient::WaitForAck(int block) {
    return WaitForReply(L"WaitForAck", [block](const TFTPPacket& packet) -> std::optional<int> {
        if (packet.length != 4 || packet.Opcode() != TFTPPacket::OpACK) {
            return std::nullopt;
        }
        return BlockField(packet.data) == block ? 0 : kUnexpected;
    });
}

// The client itself reads its blocks in place (WaitForDataDatagram); this form, for derived
// classes, cuts the datagram into packets.
int TFTPClient::WaitForData(std::vector<TFTPPacket>& packets, int pieceLength) {
    unsigned char datagram[BatchDatagramSize];
    QX::SocketAddressV4 sender{};
    int size = 0;
    const int result = WaitForDataDatagram(datagram, pieceLength, &sender, &size);
    return CutIntoPackets(result, datagram, size, pieceLength, sender, packets);
}

int TFTPClient::WaitForDataDatagram(unsigned char* datagram, int pieceLength,
                                    QX::SocketAddressV4* sender, int* size) {
    DWORD quietSince = QX::TickCount();
    for (;;) {
        const std::uint32_t left = WindowLeftUs(kDataWindowMs, quietSince);
        if (left == 0) {
            SetError(L"%s::Receive(): select() Timeout", name);
            return kTimedOut;
        }
        const int result = ReceiveDataDatagram(datagram, pieceLength, left, sender, size);
        if (result != 0) {
            return result;
        }
        // The whole datagram, or the empty one, comes from one sender.
        if (!FromCamera(*sender)) {
            continue;
        }
        quietSince = QX::TickCount();
        int failed = 0;
        ForEachPiece(datagram, *size, pieceLength, [&](const unsigned char* piece, int length) {
            if (failed == 0 && IsErrorPacket(piece, length)) {
                failed = ErrorPacketReceived(piece, length, L"WaitForData");
            }
        });
        if (failed != 0) {
            return failed;
        }
        if (*size != 0) {
            return 0;
        }
    }
}

bool TFTPClient::AllPacketsExist(const std::map<int, TFTPPacket>& blocks) {
    int previous = 0;
    for (const auto& entry : blocks) {
        if (entry.first - previous > 1) {
            return false;
        }
        previous = entry.first;
    }
    return true;
}

int TFTPClient::ReadResponse(IStream* stream, unsigned char* buffer, std::uint32_t* length) {
    const int sizeIndex = useDoublePackets ? 1 : 0;
    const int blockSize = TFTPPacket::BlockSizes[sizeIndex];
    const int pieceLength = blockSize + TFTPPacket::HeaderSize;
    BlockStore blocks(blockSize);
    // Each datagram is read where it lies: a block's payload is copied once, into its place.
    unsigned char datagram[BatchDatagramSize];
    int lastBlock = -1;
    // Blocks 1..contiguous are all present: with the highest block this tells completeness.
    int contiguous = 0;
    // A block that filled a gap kRepeatReach or more behind the highest block: right in a file of
    // up to 65535 blocks, but past the wrap its wire number could as well have meant the block
    // 65536 further on.
    bool lateFill = false;
    for (;;) {
        int result = kTimedOut;
        int size = 0;
        for (int attempt = 0; attempt < retries; ++attempt) {
            QX::SocketAddressV4 sender{};
            result = WaitForDataDatagram(datagram, pieceLength, &sender, &size);
            if (result != kTimedOut) {
                break;
            }
        }
        if (result != 0) {
            return result;
        }
        const std::size_t before = blocks.Count();
        bool unplaceable = false;
        ForEachPiece(datagram, size, pieceLength, [&](const unsigned char* packet, int length) {
            if (unplaceable) {
                return;
            }
            if (IsOptionAck(packet, length)) {
                SendAck(0);
                return;
            }
            if (length < 4 || TFTPPacket::OpcodeOf(packet, length) != TFTPPacket::OpDATA) {
                return;
            }
            const int wireBlock = BlockField(packet);
            SendAck(wireBlock);
            const int block = PlaceBlock(wireBlock, contiguous + 1);
            // Past the final block lies nothing of this file: such a number is an old repeat
            // that the window above could not place.
            if (lastBlock != -1 && block > lastBlock) {
                return;
            }
            const int payload = length - TFTPPacket::HeaderSize;
            if (blocks.Add(block, packet + TFTPPacket::HeaderSize, payload)) {
                while (blocks.Length(contiguous + 1) >= 0) {
                    ++contiguous;
                }
                lateFill = lateFill || blocks.Highest() - block >= kRepeatReach;
            }
            // Such a camera cannot be followed past the wrap: the attempt fails rather than
            // deliver a block in the wrong place.
            if (lateFill && blocks.Highest() > 0xFFFF) {
                SetError(L"%s::ReadResponse(): Block %d cannot be placed", name, block);
                unplaceable = true;
                return;
            }
            // A short packet under the number of a full block already held contradicts the file:
            // it does not end it, so the read goes on to the real final block (or fails) instead
            // of delivering a cut file.
            if (length < pieceLength && blocks.Length(block) == payload) {
                lastBlock = block;
                blocks.DropAbove(lastBlock);
            }
        });
        if (unplaceable) {
            return kUnexpected;
        }
        if (blocks.Count() != before && progressCallback != nullptr) {
            progressCallback(static_cast<std::uint32_t>(blocks.Count()), blocks.Bytes(),
                             progressContext);
        }
        if (lastBlock != -1 && contiguous == blocks.Highest()) {
            break;
        }
    }
    blocks.Deliver(lastBlock, stream);
    // Without a length there is no capacity to honour: the final block is then dropped like with
    // a null buffer. A buffer too small fails after the full blocks have been written.
    if (buffer != nullptr && length != nullptr) {
        const std::uint32_t payload = static_cast<std::uint32_t>(blocks.Length(lastBlock));
        if (payload > *length) {
            SetError(L"%s Packet buffer is too small", name);
            return kBufferTooSmall;
        }
        std::memcpy(buffer, blocks.Place(lastBlock), payload);
        *length = payload;
    }
    return 0;
}

int TFTPClient::Read(const char* fileName, IStream* stream, unsigned char* buffer,
                     std::uint32_t* length, SYSTEMTIME* time) {
    QX::ScopedLock guard(lock);
    TFTPPacket request(useDoublePackets ? 1 : 0);
    request.MakeRQ(TFTPPacket::OpRRQ, fileName);
    int result = 0;
    for (int attempt = 0; attempt < retries; ++attempt) {
        Close();
        socket = QX::SocketCreateUdp();
        if (socket == QX::InvalidSocket) {
            SetError(L"TFTPClient[%s]::Open(): Cannot create socket", name);
            result = kUnexpected;
            continue;
        }
        remote.port = QX::HostToNetwork16(static_cast<std::uint16_t>(port));
        result = Send(&request);
        if (result != 0) {
            break;
        }
        if (WaitForOpAck() != 0) {
            result = kTimedOut;
            continue;
        }
        result = SendAck(0);
        if (result != 0) {
            break;
        }
        result = ReadResponse(stream, buffer, length);
        if (result != kTimedOut) {
            break;
        }
    }
    if (result != 0) {
        SetError(L"%s::Read(): Read error %d", name, result);
    }
    Close();
    if (time != nullptr) {
        QX::GetUtcTime(time);
    }
    return result;
}

void TFTPClient::Write(const char* fileName) {
    QX::ScopedLock guard(lock);
    if (socket == QX::InvalidSocket) {
        SetError(L"%s::Write(): Invalid socket", name);
        ThrowUnlocked(guard, error, QX::SocketError::NotConnected, __LINE__);
    }
    TFTPPacket request(useDoublePackets ? 1 : 0);
    request.MakeRQ(TFTPPacket::OpWRQ, fileName);
    for (int attempt = 0; attempt < retries; ++attempt) {
        Send(&request);
        if (WaitForAck(0) == 0) {
            return;
        }
    }
    SetError(L"%s::Write(): Write timed out", name);
    ThrowUnlocked(guard, error, QX::ResultCode::TimedOut, __LINE__);
}

int TFTPClient::ReadAsync(const char* fileName, IStream* stream, unsigned char* buffer,
                          std::uint32_t* length, ReadCallback callback, void* context) {
    QX::ScopedLock guard(lock);
    if (socket == QX::InvalidSocket) {
        SetError(L"%s::Read(): Invalid socket", name);
        ThrowUnlocked(guard, error, QX::SocketError::NotConnected, __LINE__);
    }
    // The pending read lives in fields that the receive thread reads while a cycle runs; a second
    // read before the first one's callback would change them under its feet.
    if (asyncRunning) {
        SetError(L"%s::ReadAsync(): A read is still running", name);
        return kUnavailable;
    }
    TFTPPacket request(useDoublePackets ? 1 : 0);
    request.MakeRQ(TFTPPacket::OpRRQ, fileName);
    const int result = Send(&request);
    if (result != 0) {
        return result;
    }
    asyncStream = stream;
    asyncBuffer = buffer;
    asyncLength = length;
    asyncContext = context;
    asyncCallback = callback;
    if (receiveThread == INVALID_HANDLE_VALUE) {
        HANDLE thread =
            QX::StartThread(static_cast<QX::ThreadProc>(&TFTPClient::ReceiveProc), this);
        // Without a thread no cycle would ever run and the callback never come: say so now.
        if (thread == nullptr) {
            SetError(L"%s::ReadAsync(): Cannot start the receive thread: %d", name,
                     static_cast<int>(QX::GetLastErrorValue()));
            return kUnexpected;
        }
        receiveThread = thread;
    }
    asyncRunning = true;
    BeginReceive();
    return 0;
}

void TFTPClient::BeginReceive() {
    QX::EventSet(beginEvent);
}

DWORD QX_THREADAPI TFTPClient::ReceiveProc(void* client) {
    return static_cast<TFTPClient*>(client)->ReceiveProc();
}

DWORD TFTPClient::ReceiveProc() {
    for (;;) {
        // The stop event is first, so it wins when both are set; a failed wait ends the thread
        // too, since it would fail again at once.
        if (QX::WaitForEither(stopEvent, beginEvent, INFINITE) != WAIT_OBJECT_0 + 1) {
            return 0;
        }
        IStream* stream = asyncStream;
        unsigned char* buffer = asyncBuffer;
        std::uint32_t* length = asyncLength;
        void* context = asyncContext;
        ReadCallback callback = asyncCallback;
        int result = WaitForOpAck();
        if (result == 0) {
            SendAck(0);
            result = ReadResponse(stream, buffer, length);
        }
        // The cycle is over before the callback runs, so that the callback may start the next
        // read on this client.
        asyncRunning = false;
        if (callback == nullptr) {
            continue;
        }
        try {
            if (result == 0) {
                callback(stream, buffer, length != nullptr ? *length : 0, context);
            } else {
                callback(nullptr, nullptr, QX::ResultCode::TimedOut, context);
            }
        } catch (...) {
            QX::Trace(L"TFTPClient::ReceiveProc(): unknown exception from user callback");
        }
    }
}

}  // namespace QXSDK
