#include "qxnet/net/QXPing.h"

#include <atomic>
#include <cstring>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/net/QXEchoRequest.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXIcmp.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXSync.h"

namespace QX {

namespace {

constexpr int PING_ATTEMPTS = 5;
constexpr long PING_WAIT_MICROSECONDS = 200;
constexpr int PING_REPLY_SIZE = 321;
const DWORD AVAILABILITY_TIMEOUTS[] = {100, 1500, 1500};

// The dotted text of a network-order address, as the narrow text the trace shows.
std::string DottedText(std::uint32_t networkAddress) {
    std::wstring wide = AddressToText(SwapAddress(networkAddress));
    return std::string(wide.begin(), wide.end());
}

bool Answers(std::uint32_t address) {
    for (DWORD timeout : AVAILABILITY_TIMEOUTS) {
        if (PingICMP(address, timeout) == 0) {
            return true;
        }
    }
    return false;
}

// Says once per process why ping cannot work, so that a search that finds every address free
// does not stay unexplained.
std::atomic<bool> s_unavailableTraced{false};

void TraceUnavailable(const std::wstring& reason) {
    if (!reason.empty() && !s_unavailableTraced.exchange(true)) {
        Trace(L"Ping is not available: %s", reason.c_str());
    }
}

void TraceNotAvailable(std::uint32_t address) {
    Trace(L"QXNET_API IsAddrAvailable(%s). IP not available, responds to ping",
          AddressToText(address).c_str());
}

}  // namespace

void BuildEchoRequest(unsigned char (&request)[ECHO_REQUEST_SIZE], std::uint16_t attempt,
                      std::uint32_t tickCount) {
    std::memset(request, 0, sizeof request);
    request[0] = 8;
    request[1] = 0;
    request[4] = static_cast<unsigned char>(attempt & 0xFF);
    request[5] = static_cast<unsigned char>(attempt >> 8);
    request[6] = request[4];
    request[7] = request[5];
    // Byte 8 belongs to no field; it stays 0 so that equal requests are equal bytes.
    for (int i = 0; i < 4; ++i) {
        request[9 + i] = static_cast<unsigned char>(tickCount >> (8 * i));
    }
    for (int i = 0; i < 32; ++i) {
        request[13 + i] = static_cast<unsigned char>(0x20 + i);
    }
    std::uint16_t checksum = InternetChecksum(request, sizeof request);
    request[2] = static_cast<unsigned char>(checksum & 0xFF);
    request[3] = static_cast<unsigned char>(checksum >> 8);
}

int Ping(std::uint32_t address) {
    // The layer's own answer is not examined: a failed start shows as a failed socket.
    SocketLayerStart();
    std::unique_ptr<RawIcmpSocket> socket = IcmpBackend::Current().CreateRawIcmpSocket();
    int error = socket->Open();
    if (error != 0) {
        Trace(L"%s: WSAError: %d", L"socket()", error);
        SocketLayerEnd();
        return static_cast<int>(ResultCode::Unexpected);
    }
    Trace(L"Pinging %S", DottedText(address).c_str());

    int result = static_cast<int>(ResultCode::TimedOut);
    for (int attempt = 0; attempt < PING_ATTEMPTS; ++attempt) {
        unsigned char request[ECHO_REQUEST_SIZE];
        BuildEchoRequest(request, static_cast<std::uint16_t>(attempt), TickCount());
        error = socket->SendTo(request, sizeof request, address);
        if (error != 0) {
            Trace(L"%s: WSAError: %d", L"sendto()", error);
        }
        int ready = socket->WaitReadable(0, PING_WAIT_MICROSECONDS, &error);
        if (ready < 0) {
            result = static_cast<int>(ResultCode::Unexpected);
            break;
        }
        if (ready == 0) {
            continue;
        }
        // Whatever ICMP datagram arrived counts as the answer; it is not examined.
        unsigned char reply[PING_REPLY_SIZE];
        std::uint32_t source = 0;
        if (socket->ReceiveFrom(reply, sizeof reply, &source, &error) < 0) {
            Trace(L"%s: WSAError: %d", L"recvfrom()", error);
        }
        result = 0;
        break;
    }
    error = socket->Close();
    if (error != 0) {
        Trace(L"%s: WSAError: %d", L"closesocket()", error);
    }
    SocketLayerEnd();
    return result;
}

int PingICMP(std::uint32_t address, std::uint32_t timeoutMs) {
    std::unique_ptr<EchoFacility> facility;
    try {
        facility = IcmpBackend::Current().CreateEchoFacility();
        if (!facility->Bind()) {
            throw Exception(L"Ping is not available", ResultCode::Unexpected, __LINE__, L"QXPing");
        }
        HANDLE echo = facility->Create();
        DWORD status = facility->SendEcho(echo, SwapAddress(address), timeoutMs);
        facility->Close(echo);
        if (status != ECHO_STATUS_SUCCESS && !IsEchoNoAnswer(status)) {
            throw Exception(L"Ping failed", ResultCode::Unexpected, __LINE__, L"QXPing");
        }
        facility->Release();
        return status == ECHO_STATUS_SUCCESS ? 0 : 1;
    } catch (...) {
        if (facility) {
            TraceUnavailable(facility->FailureReason());
            facility->Release();
        }
        return static_cast<int>(ResultCode::UnsupportedOperation);
    }
}

std::wstring PingUnavailableReason() {
    std::unique_ptr<EchoFacility> facility = IcmpBackend::Current().CreateEchoFacility();
    bool bound = facility->Bind();
    std::wstring reason = bound ? std::wstring() : facility->FailureReason();
    facility->Release();
    return reason;
}

bool IsAddrAvailable(std::uint32_t address) {
    if (Answers(address)) {
        TraceNotAvailable(address);
        return false;
    }
    return true;
}

std::uint32_t GetAvailableAddress(std::uint32_t start, std::uint32_t end) {
    return GetAvailableAddress(start, end, nullptr, nullptr);
}

std::uint32_t GetAvailableAddress(std::uint32_t start, std::uint32_t end,
                                  AddressTakenCallback taken, void* context) {
    if (end == 0) {
        end = start | 0xFF000000u;
    }
    if (start > end) {
        return 0;
    }
    for (std::uint32_t a = start;; ++a) {
        if (!Answers(a)) {
            return a;
        }
        TraceNotAvailable(a);
        if (taken != nullptr) {
            taken(a, context);
        }
        if (a == end) {
            return 0;
        }
    }
}

void FlashARP() {
    NetInfoSource& source = NetInfoSource::Current();
    std::vector<AdapterInfo> adapters;
    DWORD size = NETINFO_ADAPTER_INFO_SIZE;
    DWORD answer = source.GetAdaptersInfo(&adapters, &size);
    if (answer == NetInfoError::BufferOverflow) {
        answer = source.GetAdaptersInfo(&adapters, &size);
    }
    if (answer != NetInfoError::Success) {
        return;
    }
    for (const AdapterInfo& adapter : adapters) {
        if (adapter.type == NETINFO_TYPE_ETHERNET) {
            source.FlushIpNetTable(adapter.index);
        }
    }
}

}  // namespace QX
