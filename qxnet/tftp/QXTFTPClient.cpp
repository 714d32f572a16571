#include "qxnet/tftp/QXTFTPClient.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXException.h"
#include "qxnet/common/QXFormat.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/platform/QXSync.h"

namespace QXSDK {

namespace {
constexpr const wchar_t* kClosedName = L"TFTPClient[Closed]";
constexpr const wchar_t* kSource = L"QXTFTPClient";

bool HandlePresent(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}
}  // namespace

TFTPClient::TFTPClient(boost::shared_ptr<QX::CodeLock> codeLock, std::uint32_t local,
                       bool useDouble, int retryCount, int reservedValue, int remotePort)
    : socket(QX::InvalidSocket),
      remote{},
      port(remotePort),
      retries(retryCount),
      reserved(reservedValue),
      useDoublePackets(useDouble),
      localAddress(local),
      lock(std::move(codeLock)) {
    InitState();
}

TFTPClient::TFTPClient(const TFTPClient& other)
    : socket(QX::InvalidSocket),
      remote{},
      port(other.port),
      retries(other.retries),
      reserved(other.reserved),
      useDoublePackets(other.useDoublePackets.load()),
      localAddress(other.localAddress),
      lock(other.lock) {
    InitState();
}

// Assignment makes this object what copy construction would make it (the source's lock and
// settings, closed, no remote address, empty error text), but keeps its own events and receive
// thread: handles are never shared between objects, so none is closed twice or used after
// another object closed it. The old socket is closed under the old lock before the lock is
// replaced.
TFTPClient& TFTPClient::operator=(const TFTPClient& other) {
    if (this == &other) {
        return *this;
    }
    {
        QX::ScopedLock guard(lock);
        CloseSocket();
    }
    boost::shared_ptr<QX::CodeLock> newLock = other.lock;
    lock = newLock;
    QX::ScopedLock guard(lock);
    remote = QX::SocketAddressV4{};
    port = other.port;
    retries = other.retries;
    reserved = other.reserved;
    useDoublePackets = other.useDoublePackets.load();
    localAddress = other.localAddress;
    error[0] = L'\0';
    return *this;
}

void TFTPClient::InitState() {
    receiveThread = INVALID_HANDLE_VALUE;
    beginEvent = QX::EventCreate(false, false);
    stopEvent = QX::EventCreate(true, false);
    asyncStream = nullptr;
    asyncBuffer = nullptr;
    asyncLength = nullptr;
    asyncContext = nullptr;
    asyncCallback = nullptr;
    QX::Format(name, NameSize - 1, L"%s", kClosedName);
    error[0] = L'\0';
}

TFTPClient::~TFTPClient() {
    if (HandlePresent(stopEvent)) {
        QX::EventSet(stopEvent);
    }
    if (HandlePresent(receiveThread)) {
        QX::WaitForHandle(receiveThread, INFINITE);
        QX::HandleClose(receiveThread);
        receiveThread = INVALID_HANDLE_VALUE;
    }
    if (HandlePresent(beginEvent)) {
        QX::HandleClose(beginEvent);
    }
    if (HandlePresent(stopEvent)) {
        QX::HandleClose(stopEvent);
    }
    {
        QX::ScopedLock guard(lock);
        CloseSocket();
    }
    QX::Trace(L"%s::~TFTPClient(): done", name);
}

bool TFTPClient::Startup() {
    return QX::SocketLayerStart() != 0;
}

void TFTPClient::Cleanup() {
    QX::SocketLayerEnd();
}

// Closes the socket if it is open and names the object closed; the caller holds the lock.
void TFTPClient::CloseSocket() {
    if (socket != QX::InvalidSocket) {
        QX::SocketClose(socket);
        socket = QX::InvalidSocket;
    }
    systemDrops = 0;
    QX::Format(name, NameSize - 1, L"%s", kClosedName);
}

void TFTPClient::Open(std::uint32_t address, int remotePort) {
    const std::wstring text = QX::AddressToText(address);
    QX::Trace(L"%s::Open(%s)", name, text.c_str());
    QX::ScopedLock guard(lock);
    // An open client gets its new socket before the old one is closed, so a failed creation
    // leaves it as it was and a re-open never leaks the old socket.
    const QX::SocketHandle created = QX::SocketCreateUdp();
    if (created == QX::InvalidSocket) {
        const int socketError = QX::SocketLastError();
        SetError(L"TFTPClient[%s]::Open(): Cannot create socket", name);
        guard.Release();
        throw QX::Exception(error, static_cast<std::uint32_t>(socketError), __LINE__, kSource);
    }
    if (socket != QX::InvalidSocket) {
        QX::SocketClose(socket);
    }
    socket = created;
    systemDrops = 0;
    remote = QX::MakeSocketAddress(address, static_cast<std::uint16_t>(remotePort));
    port = remotePort;
    if (localAddress != 0) {
        if (!QX::SocketBind(socket, QX::MakeSocketAddress(localAddress, 0))) {
            const int socketError = QX::SocketLastError();
            Close();
            SetError(L"TFTPClient[%s]::Open(): Cannot bind socket: Error %d", name, socketError);
            guard.Release();
            throw QX::Exception(error, static_cast<std::uint32_t>(socketError), __LINE__, kSource);
        }
    }
    QX::Format(name, NameSize - 1, L"TFTPClient[%s]", text.c_str());
}

void TFTPClient::Close() {
    QX::ScopedLock guard(lock);
    CloseSocket();
}

void TFTPClient::Reset(std::uint32_t address, int remotePort) {
    QX::ScopedLock guard(lock);
    Close();
    Open(address, remotePort);
}

int TFTPClient::Send(TFTPPacket* packet) {
    QX::ScopedLock guard(lock);
    if (socket != QX::InvalidSocket && (packet == nullptr || packet->length <= 0)) {
        SetError(L"%s::Send(): Invalid packet", name);
        return static_cast<int>(QX::ResultCode::InvalidArgument);
    }
    // A length above the buffer cannot come from the packet's own operations; never send past it.
    const int length = packet == nullptr                          ? 0
                       : packet->length < TFTPPacket::MaxCapacity ? packet->length
                                                                  : TFTPPacket::MaxCapacity;
    return SendBytes(packet != nullptr ? packet->data : nullptr, length);
}

int TFTPClient::SendBytes(const unsigned char* data, int length) {
    QX::ScopedLock guard(lock);
    if (socket == QX::InvalidSocket) {
        SetError(L"TFTPClient[%s]::Send(): Invalid socket", name);
        return static_cast<int>(QX::ResultCode::Unavailable);
    }
    int socketError = 0;
    for (int attempt = 0; attempt < retries; ++attempt) {
        if (QX::SocketSendTo(socket, data, length, remote) >= 0) {
            return 0;
        }
        socketError = QX::SocketLastError();
    }
    SetError(L"%s::Send(): send failed: %d", name, socketError);
    return static_cast<int>(QX::ResultCode::Unexpected);
}

int TFTPClient::Receive(TFTPPacket* packet) {
    return ReceiveDatagram(packet, ReceiveTimeoutUs);
}

int TFTPClient::Receive(std::vector<TFTPPacket>& packets, int maxLength) {
    unsigned char datagram[BatchDatagramSize];
    QX::SocketAddressV4 sender{};
    int size = 0;
    const int result = ReceiveDataDatagram(datagram, maxLength, BatchTimeoutUs, &sender, &size);
    return CutIntoPackets(result, datagram, size, maxLength, sender, packets);
}

int TFTPClient::ReceiveDatagram(TFTPPacket* packet, std::uint32_t timeoutUs) {
    QX::ScopedLock guard(lock);
    ClearError();
    if (socket == QX::InvalidSocket) {
        SetError(L"%s::Receive(): Invalid socket", name);
        return static_cast<int>(QX::ResultCode::Unavailable);
    }
    if (packet == nullptr) {
        SetError(L"%s::Receive(): Invalid argument", name);
        return static_cast<int>(QX::ResultCode::InvalidArgument);
    }
    packet->Clear();
    const int waited = WaitForDatagram(timeoutUs);
    if (waited != 0) {
        return waited;
    }
    const int capacity = packet->Capacity();
    QX::ReceivedDatagram received{};
    if (!QX::SocketReceiveWithInterface(socket, packet->data, capacity, &received)) {
        return ReceiveFailed();
    }
    packet->from = received.from;
    packet->length = received.size > capacity ? -1 : received.size;
    // The count only grows on one socket; a datagram that tells none leaves it as it was.
    if (received.dropped > systemDrops) {
        systemDrops = received.dropped;
    }
    return 0;
}

// An empty datagram gives an empty batch.
int TFTPClient::CutIntoPackets(int result, const unsigned char* datagram, int size, int pieceLength,
                               const QX::SocketAddressV4& sender,
                               std::vector<TFTPPacket>& packets) const {
    packets.clear();
    if (result != 0) {
        return result;
    }
    const int sizeIndex = useDoublePackets ? 1 : 0;
    ForEachPiece(datagram, size, pieceLength, [&](const unsigned char* bytes, int length) {
        TFTPPacket& packet = packets.emplace_back(sizeIndex);
        if (length > 0) {
            std::memcpy(packet.data, bytes, static_cast<std::size_t>(length));
        }
        packet.from = sender;
        packet.length = length > packet.Capacity() ? -1 : length;
    });
    return 0;
}

int TFTPClient::ReceiveDataDatagram(unsigned char* datagram, int maxLength, std::uint32_t timeoutUs,
                                    QX::SocketAddressV4* sender, int* size) {
    QX::ScopedLock guard(lock);
    ClearError();
    *sender = QX::SocketAddressV4{};
    *size = 0;
    if (socket == QX::InvalidSocket) {
        SetError(L"%s::Receive(): Invalid socket", name);
        return static_cast<int>(QX::ResultCode::Unavailable);
    }
    // Pieces must be at least one byte (else the cutting never ends) and fit a packet.
    if (maxLength < 1 || maxLength > TFTPPacket::MaxCapacity) {
        SetError(L"%s::Receive(): Invalid argument", name);
        return static_cast<int>(QX::ResultCode::InvalidArgument);
    }
    const int waited = WaitForDatagram(timeoutUs);
    if (waited != 0) {
        return waited;
    }
    *size = QX::SocketReceiveFrom(socket, datagram, BatchDatagramSize, sender);
    return *size < 0 ? ReceiveFailed() : 0;
}

// Waits for a datagram as both receptions do: 0 when one can be read, else the result with the
// error text set.
int TFTPClient::WaitForDatagram(std::uint32_t timeoutUs) {
    switch (QX::SocketWaitReadable(socket, timeoutUs)) {
        case QX::SocketWait::Readable:
            return 0;
        case QX::SocketWait::TimedOut:
            SetError(L"%s::Receive(): select() Timeout", name);
            return static_cast<int>(QX::ResultCode::TimedOut);
        case QX::SocketWait::Exception:
            SetError(L"%s::Receive(): select() yielded socket with error", name);
            return static_cast<int>(QX::ResultCode::Unexpected);
        case QX::SocketWait::Failed:
            break;
    }
    SetError(L"%s::Receive(): select() failed: %d", name, QX::SocketLastError());
    return static_cast<int>(QX::ResultCode::Unexpected);
}

// The outcome of a failed receive call: a time-out leaves the error text empty.
int TFTPClient::ReceiveFailed() {
    const int socketError = QX::SocketLastError();
    if (socketError == QX::SocketError::TimedOut) {
        return static_cast<int>(QX::ResultCode::TimedOut);
    }
    SetError(L"%s::Receive(): recv() failed: %d", name, socketError);
    return static_cast<int>(QX::ResultCode::Unexpected);
}

void TFTPClient::ClearError() {
    error[0] = L'\0';
}

void TFTPClient::SetError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    QX::FormatV(error, ErrorSize - 1, format, args);
    va_end(args);
}

}  // namespace QXSDK
