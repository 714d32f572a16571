#pragma once

// HTTP GET requests to one camera's web server on port 80, with Basic credentials remembered per
// camera in a process-wide map, and the body read as a short text or into a memory stream.
//
// Threads and locks: every operation runs on the calling thread and holds the caller's CodeLock
// for its whole length (a long download included), so clients that share a CodeLock are
// serialised. The login map has a lock of its own (LoginMapLock) that every client takes, inside
// its CodeLock, for each look-up or change; a derived class that touches s_ServerLoginfoMap
// itself takes it too (ScopedLock over LoginMapLock()), and never takes a CodeLock while
// holding it. No callbacks.
//
// Where this client goes beyond the plain request-and-read:
// - Camera address text: plain dotted decimal (four numbers of 0 to 255 without leading zeros)
//   or a host name (labels of letters, digits and inner hyphens, joined by dots, at most 253
//   characters, the last label not a number). Anything else (a user part, a port, octal or hex
//   forms, a trailing dot) could be read as another host by the transport than the one pinged;
//   Connect fails on it with 12005 (invalid URL) and nothing is sent.
// - Ping check: a dotted address is pinged (300 ms) before each request, and a silent camera
//   fails with HTTP status 12029. Where the process has no echo facility (PingICMP gives
//   ResultCode::UnsupportedOperation, e.g. an unprivileged Linux process), the check is skipped,
//   traced once per client, and the request goes out: a camera that is down fails at connect.
// - Redirects are never followed, on every platform: a 3xx answer is the response, so
//   credentials never reach a host other than the camera (see QXHttp.h for the request headers).
// - Credentials: a request with credentials whose answer is a refused login (the server's status
//   401 or 403) never replaces the remembered pair, though the body counts as received.
// - Text (asString): the first block of the body as UTF-8 when it is valid UTF-8, else byte for
//   byte (U+0000 to U+00FF), in any locale and on every platform (QXResponseText.h).
// - Stream: each attempt appends its body to m_responseStream as it arrives and takes it back
//   when the body did not arrive whole, so a failed attempt leaves none of its bytes there. A body
//   shorter than its Content-Length is a failure (12030).
// - Low speed: the time-outs (3 s) are idle limits; besides them a stream body has to keep up
//   1024 bytes a second on average over every 10 s window from its start, or the attempt ends
//   with 12002 (time-out). A server that trickles a byte a second is thus cut off after about
//   10 s an attempt; a slow camera at 100 KB/s is far above the limit. SetLowSpeedLimit changes
//   the rule for the whole process.

#include <cstdint>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "qxnet/QXExport.h"
#include "qxnet/common/QXMemoryStream.h"
#include "qxnet/platform/QXCodeLock.h"

namespace QX {
class BodySink;
}

namespace QXSDK {

// The Basic credentials that last worked for a camera.
struct QXNET_API CameraLoginInfo {
    CameraLoginInfo(const wchar_t* user, const wchar_t* password);
    std::wstring user;
    std::wstring password;
};

// The base of the caller's camera clients; the derived class supplies Execute.
class QXNET_API HTTPClient {
public:
    // address is dotted decimal or a host name (see the source for what a name costs).
    HTTPClient(std::uint64_t cameraKey, const wchar_t* address,
               boost::shared_ptr<QX::CodeLock> lock);
    // address is host order, first octet most significant.
    HTTPClient(std::uint64_t cameraKey, std::uint32_t address,
               boost::shared_ptr<QX::CodeLock> lock);
    virtual ~HTTPClient();
    HTTPClient(const HTTPClient&) = delete;
    HTTPClient& operator=(const HTTPClient&) = delete;

    // The derived class's own operation; the library never calls it.
    virtual bool Execute() = 0;

    // Opens the session and the connection; true at once when they are open already.
    bool Connect();
    // Closes every handle and sets the HTTP status to 0.
    void Close();
    // Pings the camera (300 ms), then sends GET path with the given credentials, or with the
    // remembered ones when both are null, and reads the answer as text (asString) or into the
    // response stream; up to two attempts. Credentials that worked are remembered. The session
    // stays open.
    bool RequestImpl(const wchar_t* path, bool asString, const wchar_t* user,
                     const wchar_t* password);
    // Sends GET path with the remembered credentials and closes without reading any answer; a
    // successful send forgets the camera's credentials. Kept for hosts: the library and its
    // programs do not call it.
    bool RequestAndClose(const wchar_t* path);
    // Receives the answer to the last request and reads its body; 200 when something was read,
    // 410 otherwise. The server's status line does not matter here (see GetServerStatus).
    std::uint32_t Response(bool asString);

    std::uint32_t GetLastError();
    // Kept for hosts: the library and its programs do not call it.
    const wchar_t* GetIP();
    // 0 when closed, 12029 after a failed ping, 200 or 410 after a request.
    std::uint32_t GetHttpStatus();
    // The status code in the server's own answer to the last request whose response arrived
    // (401, 404, ...); 0 when none arrived since the last Close.
    std::uint32_t GetServerStatus();

    // The lock that guards s_ServerLoginfoMap.
    static QX::CodeLock& LoginMapLock();

    // The low-speed rule of every client in the process: a stream body that brings fewer than
    // bytesPerSecond on average over a window of windowMs (from the start of the body, window
    // after window) ends the attempt with 12002. 0 bytes a second turns the rule off. For tests
    // and hosts with unusual links; set it while no request runs.
    static constexpr std::uint32_t LowSpeedBytesPerSecond = 1024;
    static constexpr std::uint32_t LowSpeedWindowMs = 10000;
    static void SetLowSpeedLimit(std::uint32_t bytesPerSecond, std::uint32_t windowMs);

protected:
    // Opens a request for path on the connection and sends it, with Basic credentials when
    // user and password are both given. The caller holds the lock.
    bool RequestGet(const wchar_t* path, const wchar_t* user, const wchar_t* password);
    // The first block of the body as text into m_responseText; the bytes read, 0 on failure.
    std::uint32_t ReadResponseString();
    // The whole body appended to m_responseStream; the bytes it holds then, 0 on failure.
    std::uint32_t ReadResponseStream();

    static constexpr std::size_t ResponseTextSize = 2048;
    static constexpr std::size_t ErrorTextSize = 514;
    static constexpr std::size_t AddressTextSize = 256;

    wchar_t m_responseText[ResponseTextSize]{};
    QX::CMemoryStream m_responseStream;
    void* m_hSession = nullptr;
    void* m_hConnect = nullptr;
    void* m_hRequest = nullptr;
    std::uint64_t m_cameraKey;
    std::uint32_t m_lastError = 0;
    wchar_t m_errorText[ErrorTextSize]{};
    std::uint32_t m_address = 0;
    wchar_t m_addressText[AddressTextSize]{};
    std::uint32_t m_httpStatus = 0;
    boost::shared_ptr<QX::CodeLock> m_lock;
    std::uint32_t m_serverStatus = 0;
    // False for an address text that is neither dotted decimal nor a host name.
    bool m_addressValid = false;
    bool m_echoMissingTraced = false;

    // Camera key to the credentials that last worked; guarded by LoginMapLock().
    static std::map<std::uint64_t, CameraLoginInfo> s_ServerLoginfoMap;

private:
    void SetError(const wchar_t* format);
    void CloseRequest();
    // Appends the body to sink as it arrives; false when the attempt failed (the caller then
    // takes the appended bytes back).
    bool ReadBody(QX::BodySink& sink);
    // False, with the error set, when received falls short of the announced length.
    bool BodyWhole(std::uint64_t received);
};

}  // namespace QXSDK
