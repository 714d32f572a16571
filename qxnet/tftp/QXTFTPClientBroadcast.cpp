// Broadcast discovery: the request goes out unchanged from the client's socket and the answers
// that carry the cameras' tag become CameraData records or reach the host's callback.

#include <cstring>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace QXSDK {

namespace {

constexpr const wchar_t* kSource = L"QXTFTPClient";

// A reception that keeps failing (neither a datagram nor a time-out) ends the collection after
// this many failures in a row: each such failure returns at once, so without a bound a broken
// socket would hold the caller's lock for ever.
constexpr int kMaxFailuresInARow = 8;

bool IsTagged(const TFTPPacket& packet) {
    if (packet.length < CameraData::AnswerTagLength) {
        return false;
    }
    for (int i = 0; i < CameraData::AnswerTagLength; ++i) {
        char c = static_cast<char>(packet.data[i]);
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != CameraData::AnswerTag[i]) {
            return false;
        }
    }
    return true;
}

TFTPPacket RequestPacket(const unsigned char* request, std::uint32_t length) {
    TFTPPacket packet(0);
    // A length beyond int range cannot fit either; AddMem reports it as too much data.
    packet.AddMem(request, length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length));
    return packet;
}

// Answers of many cameras arrive in one burst, about 1 KiB of socket buffer each on Linux; at the
// default buffer a few hundred fit and every repeat of the request brings back the same first few
// hundred. A larger buffer lets a thousand cameras answer at once (Linux doubles the value, so
// this holds about two thousand).
constexpr int kBroadcastReceiveBuffer = 1024 * 1024;

}  // namespace

// A process that may (CAP_NET_ADMIN) takes the buffer past net.core.rmem_max, whose stock value
// would hold only a few hundred answers. Otherwise the system grants what its cap allows, which
// only shrinks the burst that fits, so that refusal is ignored; the drops are then counted so the
// trace can say what was lost. Where neither option exists (Windows) the plain request stands.
void TFTPClient::PrepareBroadcastReception() {
    if (!QX::SocketSetOption(socket, QX::SocketOption::ReceiveBufferForce,
                             kBroadcastReceiveBuffer)) {
        QX::SocketSetOption(socket, QX::SocketOption::ReceiveBuffer, kBroadcastReceiveBuffer);
    }
    QX::SocketSetOption(socket, QX::SocketOption::DropCount, 1);
}

// The system tells a drop with the next answer that gets in, so the tail of one burst is counted
// with the answers to the next request; a collection reports what was told during it.
void TFTPClient::TraceDroppedAnswers(std::uint32_t dropsBefore, const wchar_t* operation) {
    if (systemDrops > dropsBefore) {
        QX::Trace(
            L"TFTPClient::%s: the system dropped %u answers for want of receive buffer; "
            L"raising net.core.rmem_max would let them in",
            operation, systemDrops - dropsBefore);
    }
}

int TFTPClient::Broadcast(const unsigned char* request, std::uint32_t length,
                          std::set<CameraData>* cameras) {
    QX::ScopedLock guard(lock);
    TFTPPacket packet = RequestPacket(request, length);
    if (!QX::SocketSetOption(socket, QX::SocketOption::Broadcast, 1)) {
        SetError(L"%s::Broadcast(): setsockopt failed: %d", name, QX::SocketLastError());
        guard.Release();
        throw QX::Exception(error, QX::ResultCode::Unexpected, __LINE__, kSource);
    }
    PrepareBroadcastReception();
    bool found = false;
    int quiet = 0;
    while (quiet < BroadcastQuietRequests) {
        Send(&packet);
        if (cameras == nullptr) {
            return 0;
        }
        if (GetBroadcastResponse(cameras)) {
            found = true;
            quiet = 0;
        }
        ++quiet;
    }
    return found ? 0 : static_cast<int>(QX::ResultCode::ObjectNotFound);
}

bool TFTPClient::GetBroadcastResponse(std::set<CameraData>* cameras) {
    QX::ScopedLock guard(lock);
    bool added = false;
    int failures = 0;
    const std::uint32_t dropsBefore = systemDrops;
    TFTPPacket packet(0);
    for (;;) {
        const std::uint32_t result = static_cast<std::uint32_t>(Receive(&packet));
        if (result == QX::ResultCode::InvalidArgument || result == QX::ResultCode::TimedOut ||
            result == QX::ResultCode::Unavailable) {
            TraceDroppedAnswers(dropsBefore, L"GetBroadcastResponse");
            return added;
        }
        if (result == 0 && IsTagged(packet)) {
            failures = 0;
            const CameraData camera(packet.data, static_cast<std::uint32_t>(packet.length));
            QX::Trace(
                L"CameraData: MAC <%s>, IP <%s>, FWVer <%d>, HWVer <%d>, Model <%d>, "
                L"Name <%s>",
                camera.MacText().c_str(), QX::AddressToText(camera.ip).c_str(), camera.fwVer,
                camera.hwVer, camera.extModel != 0 ? camera.extModel : camera.model,
                camera.name.c_str());
            if (cameras->insert(camera).second) {
                added = true;
            }
            continue;
        }
        QX::Trace(L"TFTPClient::GetBroadcastResponse: Error from Receive(): %s", error);
        if (result == 0) {
            failures = 0;
        } else if (++failures >= kMaxFailuresInARow) {
            TraceDroppedAnswers(dropsBefore, L"GetBroadcastResponse");
            return added;
        }
    }
}

int TFTPClient::BroadcastEx(const unsigned char* request, std::uint32_t length,
                            BroadcastCallback callback, void* context) {
    QX::ScopedLock guard(lock);
    TFTPPacket packet = RequestPacket(request, length);
    if (!QX::SocketSetOption(socket, QX::SocketOption::Broadcast, 1)) {
        const int socketError = QX::SocketLastError();
        guard.Release();
        throw QX::Exception(L"TFTPClient::Broadcast(): setsockopt failed",
                            static_cast<std::uint32_t>(socketError), __LINE__, kSource);
    }
    PrepareBroadcastReception();
    for (int request = 0; request < BroadcastExRequests; ++request) {
        Send(&packet);
        if (callback == nullptr) {
            return 0;
        }
        if (GetBroadcastResponseEx(callback, context) == 0) {
            return 0;
        }
    }
    return static_cast<int>(QX::ResultCode::ObjectNotFound);
}

int TFTPClient::GetBroadcastResponseEx(BroadcastCallback callback, void* context) {
    QX::ScopedLock guard(lock);
    TFTPPacket packet(0);
    const std::uint32_t dropsBefore = systemDrops;
    if (Receive(&packet) != 0) {
        return static_cast<int>(QX::ResultCode::TimedOut);
    }
    std::uint32_t result = QX::ResultCode::TimedOut;
    do {
        if (IsTagged(packet)) {
            const int answer = callback(localAddress, packet.data,
                                        static_cast<std::uint32_t>(packet.length), context);
            if (static_cast<std::uint32_t>(answer) == QX::ResultCode::MoreData) {
                result = QX::ResultCode::MoreData;
            } else if (result == QX::ResultCode::TimedOut) {
                result = 0;
            }
        }
    } while (Receive(&packet) == 0);
    TraceDroppedAnswers(dropsBefore, L"GetBroadcastResponseEx");
    return static_cast<int>(result);
}

}  // namespace QXSDK
