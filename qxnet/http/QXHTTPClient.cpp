#include "qxnet/http/QXHTTPClient.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <limits>
#include <vector>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXFormat.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/http/QXBodySink.h"
#include "qxnet/http/QXResponseText.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXHttp.h"
#include "qxnet/platform/QXSync.h"

namespace QXSDK {
namespace {

constexpr wchar_t kUserAgent[] = L"QX6SDK";
constexpr int kTimeoutMs = 3000;
constexpr std::uint32_t kPingTimeoutMs = 300;
constexpr std::uint32_t kStatusReceived = 200;
constexpr std::uint32_t kStatusFailed = 410;
constexpr int kAttempts = 2;
constexpr DWORD kRetryPauseMs = 100;
constexpr std::uint32_t kServerUnauthorized = 401;
constexpr std::uint32_t kServerForbidden = 403;
constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;

std::atomic<std::uint32_t> g_lowSpeedBytesPerSecond{HTTPClient::LowSpeedBytesPerSecond};
std::atomic<std::uint32_t> g_lowSpeedWindowMs{HTTPClient::LowSpeedWindowMs};

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool IsHexDigit(wchar_t c) {
    return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool IsLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// Plain dotted decimal: four numbers of 0 to 255 without leading zeros, nothing else. Host order.
bool ParseDottedAddress(const wchar_t* text, std::uint32_t& address) {
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part != 0 && *text++ != L'.') {
            return false;
        }
        if (text[0] == L'0' && IsDigit(text[1])) {
            return false;
        }
        std::uint32_t number = 0;
        int digits = 0;
        for (; IsDigit(*text); ++text, ++digits) {
            number = number * 10 + static_cast<std::uint32_t>(*text - L'0');
            if (digits == 3 || number > 255) {
                return false;
            }
        }
        if (digits == 0) {
            return false;
        }
        value = (value << 8) | number;
    }
    if (*text != 0) {
        return false;
    }
    address = value;
    return true;
}

// A host name the transports resolve as such: labels of letters, digits and inner hyphens. A last
// label that is a number (decimal, or hex after 0x) would make the whole text an address in one
// of the forms that resolvers accept besides dotted decimal ("127.1", "0x7f.0.0.1",
// "127.0.0.010" read as octal), which the ping would not see the same way.
bool IsHostName(const wchar_t* text) {
    std::size_t length = std::wcslen(text);
    if (length == 0 || length > kMaxHostName) {
        return false;
    }
    const wchar_t* label = text;
    for (const wchar_t* at = text;; ++at) {
        if (*at != 0 && *at != L'.') {
            if (!IsLetter(*at) && !IsDigit(*at) && *at != L'-') {
                return false;
            }
            continue;
        }
        std::size_t size = static_cast<std::size_t>(at - label);
        if (size == 0 || size > kMaxLabel || label[0] == L'-' || at[-1] == L'-') {
            return false;
        }
        if (*at == 0) {
            bool hex = size >= 2 && label[0] == L'0' && (label[1] == L'x' || label[1] == L'X');
            return !(hex ? std::all_of(label + 2, at, IsHexDigit)
                         : std::all_of(label, at, IsDigit));
        }
        label = at + 1;
    }
}

void CopyText(wchar_t* target, std::size_t size, const wchar_t* text) {
    std::size_t length = text == nullptr ? 0 : std::wcslen(text);
    if (length >= size) {
        length = size - 1;
    }
    std::wmemcpy(target, text == nullptr ? L"" : text, length);
    target[length] = 0;
}

// The client's own sink: the body appended to its response stream.
class StreamBody : public QX::BodySink {
public:
    explicit StreamBody(QX::CMemoryStream& stream) : m_stream(stream) {}
    void Append(const void* data, std::uint32_t size) override { m_stream.Write(data, size); }
    // The stream holds less than 4 GB, so every size it reported fits its Truncate.
    void Truncate(std::uint64_t size) override {
        m_stream.Truncate(static_cast<std::uint32_t>(size));
    }
    std::uint64_t Size() const override { return m_stream.GetSize(); }

private:
    QX::CMemoryStream& m_stream;
};

// The remembered credentials of a camera, copied out under the map's lock.
bool FindLogin(const std::map<std::uint64_t, CameraLoginInfo>& map, std::uint64_t key,
               std::wstring& user, std::wstring& password) {
    QX::ScopedLock guard(&HTTPClient::LoginMapLock());
    auto found = map.find(key);
    if (found == map.end()) {
        return false;
    }
    user = found->second.user;
    password = found->second.password;
    return true;
}

}  // namespace

CameraLoginInfo::CameraLoginInfo(const wchar_t* userName, const wchar_t* userPassword)
    : user(userName == nullptr ? L"" : userName),
      password(userPassword == nullptr ? L"" : userPassword) {}

std::map<std::uint64_t, CameraLoginInfo> HTTPClient::s_ServerLoginfoMap;

QX::CodeLock& HTTPClient::LoginMapLock() {
    // Made on first use, so that it exists before any static object of the host can reach it.
    static QX::CodeLock lock;
    return lock;
}

// A host name gets no numeric address: the address stays 0 and RequestImpl skips the ping guard
// for it, since the echo facility takes numbers only. The name is resolved by the transport when
// the request connects, under the 3 s resolve limit, which then stands in for the ping. A text
// that is neither is kept for GetIP but never handed to the transport.
HTTPClient::HTTPClient(std::uint64_t cameraKey, const wchar_t* address,
                       boost::shared_ptr<QX::CodeLock> lock)
    : m_cameraKey(cameraKey), m_lock(std::move(lock)) {
    CopyText(m_addressText, AddressTextSize, address);
    // A text cut short by the copy is not the text given, so it counts as invalid.
    bool whole = address != nullptr && std::wcslen(address) < AddressTextSize;
    m_addressValid =
        whole && (ParseDottedAddress(m_addressText, m_address) || IsHostName(m_addressText));
}

HTTPClient::HTTPClient(std::uint64_t cameraKey, std::uint32_t address,
                       boost::shared_ptr<QX::CodeLock> lock)
    : m_cameraKey(cameraKey), m_address(address), m_lock(std::move(lock)), m_addressValid(true) {
    CopyText(m_addressText, AddressTextSize, QX::AddressToText(address).c_str());
}

HTTPClient::~HTTPClient() {
    Close();
    m_hRequest = nullptr;
    m_hConnect = nullptr;
    m_hSession = nullptr;
    m_lock.reset();
    m_responseStream.Clear();
}

void HTTPClient::SetError(const wchar_t* format) {
    QX::Format(m_errorText, ErrorTextSize - 1, format, static_cast<int>(m_lastError));
}

bool HTTPClient::Connect() {
    QX::ScopedLock guard(m_lock);
    if (m_hSession != nullptr || m_hConnect != nullptr) {
        return true;
    }
    if (!m_addressValid) {
        m_lastError = QX::HttpError::InvalidUrl;
        SetError(L"InternetConnect() failed. Error %d");
        return false;
    }
    QX::HttpTransport& http = QX::HttpTransport::Current();
    m_hSession = http.Open(kUserAgent);
    if (m_hSession == nullptr) {
        m_lastError = QX::GetLastErrorValue();
        SetError(L"InternetOpen() failed. Error %d");
        return false;
    }
    http.SetTimeouts(m_hSession, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    m_hConnect = http.Connect(m_hSession, m_addressText, 0);
    if (m_hConnect == nullptr) {
        m_lastError = QX::GetLastErrorValue();
        SetError(L"InternetConnect() failed. Error %d");
        http.CloseHandle(m_hSession);
        m_hSession = nullptr;
        return false;
    }
    CopyText(m_errorText, ErrorTextSize, L"No errors");
    return true;
}

void HTTPClient::CloseRequest() {
    if (m_hRequest != nullptr) {
        QX::HttpTransport::Current().CloseHandle(m_hRequest);
        m_hRequest = nullptr;
    }
}

void HTTPClient::Close() {
    QX::ScopedLock guard(m_lock);
    m_httpStatus = 0;
    m_serverStatus = 0;
    CloseRequest();
    if (m_hConnect != nullptr) {
        QX::HttpTransport::Current().CloseHandle(m_hConnect);
        m_hConnect = nullptr;
    }
    if (m_hSession != nullptr) {
        QX::HttpTransport::Current().CloseHandle(m_hSession);
        m_hSession = nullptr;
    }
}

bool HTTPClient::RequestGet(const wchar_t* path, const wchar_t* user, const wchar_t* password) {
    QX::HttpTransport& http = QX::HttpTransport::Current();
    // A request left open by an earlier call is closed here rather than leaked: a derived class
    // may well send twice without a Close in between.
    CloseRequest();
    m_hRequest = http.OpenRequest(m_hConnect, path);
    if (m_hRequest == nullptr) {
        m_lastError = QX::GetLastErrorValue();
        SetError(L"HttpOpenRequest() failed. Error %d");
        return false;
    }
    if (user != nullptr && password != nullptr) {
        http.SetCredentials(m_hRequest, user, password);
    }
    if (!http.SendRequest(m_hRequest)) {
        m_lastError = QX::GetLastErrorValue();
        SetError(L"HttpSendRequest() failed. Error %d");
        return false;
    }
    return true;
}

bool HTTPClient::RequestImpl(const wchar_t* path, bool asString, const wchar_t* user,
                             const wchar_t* password) {
    QX::ScopedLock guard(m_lock);
    if (m_address != 0) {
        int ping = QX::PingICMP(m_address, kPingTimeoutMs);
        // Without an echo facility the ping says nothing about the camera, so it does not
        // stand in the way; the connect limit then finds a camera that is down.
        if (ping == static_cast<int>(QX::ResultCode::UnsupportedOperation)) {
            if (!m_echoMissingTraced) {
                m_echoMissingTraced = true;
                QX::Trace(
                    L"HTTPClient::RequestImpl(): no echo facility (0x%08X), %s is not "
                    L"pinged before its requests",
                    static_cast<unsigned>(ping), m_addressText);
            }
        } else if (ping != 0) {
            m_httpStatus = QX::HttpError::CannotConnect;
            return false;
        }
    }
    // Credentials taken from the map live here, so that the map may change meanwhile.
    std::wstring storedUser;
    std::wstring storedPassword;
    int attemptsLeft = kAttempts;
    for (bool first = true;; first = false) {
        if (!first) {
            Close();
        }
        --attemptsLeft;
        if (!Connect()) {
            if (attemptsLeft == 0) {
                return false;
            }
            continue;
        }
        if (user == nullptr && password == nullptr &&
            FindLogin(s_ServerLoginfoMap, m_cameraKey, storedUser, storedPassword)) {
            user = storedUser.c_str();
            password = storedPassword.c_str();
        }
        if (!RequestGet(path, user, password)) {
            if (m_lastError != QX::HttpError::CannotConnect &&
                m_lastError != QX::HttpError::ConnectionError) {
                SetError(L"Request() failed. Error %d");
            }
            if (attemptsLeft == 0) {
                return false;
            }
            continue;
        }
        m_httpStatus = Response(asString);
        if (m_httpStatus == kStatusReceived) {
            break;
        }
        if (FindLogin(s_ServerLoginfoMap, m_cameraKey, storedUser, storedPassword)) {
            user = storedUser.c_str();
            password = storedPassword.c_str();
        }
        if (attemptsLeft == 0) {
            return false;
        }
        QX::SleepMs(kRetryPauseMs);
    }
    // A refused login reads as received, but its credentials are not the ones that work.
    if (user == nullptr || password == nullptr || m_serverStatus == kServerUnauthorized ||
        m_serverStatus == kServerForbidden) {
        return true;
    }
    QX::ScopedLock mapGuard(&LoginMapLock());
    auto found = s_ServerLoginfoMap.find(m_cameraKey);
    if (found != s_ServerLoginfoMap.end()) {
        if (found->second.user == user && found->second.password == password) {
            return true;
        }
        s_ServerLoginfoMap.erase(found);
    }
    s_ServerLoginfoMap.emplace(m_cameraKey, CameraLoginInfo(user, password));
    return true;
}

bool HTTPClient::RequestAndClose(const wchar_t* path) {
    QX::ScopedLock guard(m_lock);
    if (!Connect()) {
        return false;
    }
    std::wstring user;
    std::wstring password;
    bool stored = FindLogin(s_ServerLoginfoMap, m_cameraKey, user, password);
    if (!RequestGet(path, stored ? user.c_str() : nullptr, stored ? password.c_str() : nullptr)) {
        Close();
        return false;
    }
    if (stored) {
        QX::ScopedLock mapGuard(&LoginMapLock());
        s_ServerLoginfoMap.erase(m_cameraKey);
    }
    Close();
    return true;
}

std::uint32_t HTTPClient::Response(bool asString) {
    QX::ScopedLock guard(m_lock);
    m_serverStatus = 0;
    if (m_hRequest == nullptr || !QX::HttpTransport::Current().ReceiveResponse(m_hRequest)) {
        // With no request handle there is no call to take an error from; the thread's last
        // error is what it is, as it would be on Windows.
        m_lastError = QX::GetLastErrorValue();
        m_httpStatus = kStatusFailed;
        return kStatusFailed;
    }
    DWORD serverStatus = 0;
    if (QX::HttpTransport::Current().QueryStatusCode(m_hRequest, &serverStatus)) {
        m_serverStatus = serverStatus;
    }
    std::uint32_t read = asString ? ReadResponseString() : ReadResponseStream();
    return read != 0 ? kStatusReceived : kStatusFailed;
}

std::uint32_t HTTPClient::ReadResponseString() {
    std::wmemset(m_responseText, 0, ResponseTextSize);
    if (m_hRequest == nullptr) {
        m_lastError = QX::GetLastErrorValue();
        return 0;
    }
    QX::HttpTransport& http = QX::HttpTransport::Current();
    DWORD available = 0;
    if (!http.QueryDataAvailable(m_hRequest, &available)) {
        m_lastError = QX::GetLastErrorValue();
        SetError(L"WinHttpQueryDataAvailable() failed. Error %d");
        return 0;
    }
    if (available == 0) {
        return 0;
    }
    std::vector<char> buffer(static_cast<std::size_t>(available) + 1, 0);
    DWORD read = 0;
    if (!http.ReadData(m_hRequest, buffer.data(), available, &read)) {
        m_lastError = QX::GetLastErrorValue();
        SetError(L"WinHttpReadData() failed. Error %d");
        return 0;
    }
    QX::DecodeResponseText(reinterpret_cast<const unsigned char*>(buffer.data()), read,
                           m_responseText, ResponseTextSize);
    return read;
}

std::uint32_t HTTPClient::ReadResponseStream() {
    if (m_hRequest == nullptr) {
        m_lastError = QX::GetLastErrorValue();
        return 0;
    }
    // The body goes straight into the response stream (or the sink standing in for it) and is
    // taken back when the attempt fails, so a failed attempt leaves none of its bytes there
    // without a second copy of every body.
    StreamBody own(m_responseStream);
    QX::BodySink* standing = QX::BodySink::Of(this);
    QX::BodySink& sink = standing != nullptr ? *standing : own;
    const std::uint64_t before = sink.Size();
    bool whole = false;
    try {
        whole = ReadBody(sink);
    } catch (...) {
        sink.Truncate(before);
        throw;
    }
    if (!whole) {
        sink.Truncate(before);
        return 0;
    }
    // A sink may hold more than the result can count; what matters then is that it is not 0.
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(sink.Size(), std::numeric_limits<std::uint32_t>::max()));
}

bool HTTPClient::ReadBody(QX::BodySink& sink) {
    QX::HttpTransport& http = QX::HttpTransport::Current();
    std::uint64_t received = 0;
    const std::uint32_t lowSpeed = g_lowSpeedBytesPerSecond;
    const DWORD windowMs = g_lowSpeedWindowMs;
    DWORD windowStart = QX::TickCount();
    std::uint64_t windowBytes = 0;
    std::vector<unsigned char> scratch;
    for (;;) {
        DWORD read = 0;
        switch (http.ReceiveData(m_hRequest, sink, scratch, &read)) {
            case QX::HttpReadResult::Data:
                break;
            case QX::HttpReadResult::End:
                return BodyWhole(received);
            case QX::HttpReadResult::QueryDataAvailableFailed:
                m_lastError = QX::GetLastErrorValue();
                SetError(L"WinHttpQueryDataAvailable() failed. Error %d");
                return false;
            case QX::HttpReadResult::ReadDataFailed:
                m_lastError = QX::GetLastErrorValue();
                SetError(L"WinHttpReadData() failed. Error %d");
                return false;
        }
        received += read;
        windowBytes += read;
        // The idle limit alone lets a server hold the request (and the lock) for as long as it
        // trickles; the low-speed rule ends that on the client's side, for every transport.
        DWORD elapsed = QX::TickCount() - windowStart;
        if (lowSpeed != 0 && elapsed >= windowMs) {
            if (windowBytes * 1000 < static_cast<std::uint64_t>(lowSpeed) * elapsed) {
                QX::Trace(
                    L"HTTPClient::ReadResponseStream(): %llu bytes in %u ms, below %u "
                    L"bytes a second",
                    static_cast<unsigned long long>(windowBytes), static_cast<unsigned>(elapsed),
                    static_cast<unsigned>(lowSpeed));
                m_lastError = QX::HttpError::Timeout;
                SetError(L"Response too slow. Error %d");
                return false;
            }
            windowStart += elapsed;
            windowBytes = 0;
        }
    }
}

bool HTTPClient::BodyWhole(std::uint64_t received) {
    // A body that ends before its announced length is cut off, whatever the transport made of
    // the closed connection; statuses that carry no body announce nothing to check.
    std::uint64_t announced = 0;
    if (m_serverStatus != 204 && m_serverStatus != 304 &&
        QX::HttpTransport::Current().QueryContentLength(m_hRequest, &announced) &&
        received < announced) {
        m_lastError = QX::HttpError::ConnectionError;
        SetError(L"WinHttpQueryDataAvailable() failed. Error %d");
        return false;
    }
    return true;
}

void HTTPClient::SetLowSpeedLimit(std::uint32_t bytesPerSecond, std::uint32_t windowMs) {
    g_lowSpeedBytesPerSecond = bytesPerSecond;
    g_lowSpeedWindowMs = windowMs;
}

std::uint32_t HTTPClient::GetLastError() {
    QX::ScopedLock guard(m_lock);
    return m_lastError;
}

const wchar_t* HTTPClient::GetIP() {
    QX::ScopedLock guard(m_lock);
    return m_addressText;
}

std::uint32_t HTTPClient::GetHttpStatus() {
    QX::ScopedLock guard(m_lock);
    return m_httpStatus;
}

std::uint32_t HTTPClient::GetServerStatus() {
    QX::ScopedLock guard(m_lock);
    return m_serverStatus;
}

}  // namespace QXSDK
