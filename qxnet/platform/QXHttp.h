#pragma once

// The HTTP transport: synchronous session, connection and request handles in the shape the HTTP
// client is written against. On Windows each operation is the WinHTTP call of the same name; on
// Linux libcurl does the work. A failed operation returns false (or a null handle) and leaves a
// WinHTTP error number in the calling thread's last-error value (QX::GetLastErrorValue), the same
// numbers on every platform.
//
// Handles are closed in any order; a request keeps what it needs of its connection and session.
// Every operation blocks the calling thread; no callback of the transport reaches the caller
// except ReceiveData's receiver, inside that call.
//
// Both transports behave alike where the server can tell them apart: a request carries the
// request line, Host, User-Agent, "Connection: Keep-Alive" and, when credentials were set,
// Authorization, and nothing else; no redirect is followed (a 3xx answer is the response, its body
// is the body), so credentials never reach a host other than the one connected to; a response head
// of more than HttpMaxResponseHead bytes (WinHTTP's own default limit, applied by the Linux
// transport too) fails with HeaderSizeOverflow.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxnet/platform/QXWinTypes.h"

namespace QX {

// A session, connection or request handle; null when absent.
typedef void* HttpHandle;

// The error numbers the transport reports (WinHTTP's own numbering).
namespace HttpError {
// General Win32 numbers, which the transport reports too.
constexpr DWORD InvalidHandle = 6, NotEnoughMemory = 8, InvalidParameter = 87;
// The call and its handles.
constexpr DWORD Timeout = 12002, InternalError = 12004, InvalidUrl = 12005;
constexpr DWORD NameNotResolved = 12007, OperationCancelled = 12017;
constexpr DWORD IncorrectHandleType = 12018, IncorrectHandleState = 12019;
// The connection and the answer.
constexpr DWORD CannotConnect = 12029, ConnectionError = 12030, HeaderNotFound = 12150;
constexpr DWORD InvalidServerResponse = 12152, HeaderSizeOverflow = 12183;
}  // namespace HttpError

// The port WinHTTP takes for 0: plain HTTP.
constexpr std::uint16_t HttpDefaultPort = 80;

// The most bytes a response head (status line and headers) may take: WinHTTP's default.
constexpr std::size_t HttpMaxResponseHead = 64 * 1024;

// Takes bytes of a body as a transport hands them over, on the thread that asked for them and
// inside that transport call; the bytes are valid only for the call. What it throws ends the
// request and leaves the transport call.
class HttpBodyReceiver {
public:
    virtual void Append(const void* data, std::uint32_t size) = 0;

protected:
    ~HttpBodyReceiver() = default;
};

// What one step of reading a body came to; a failure names the call whose error it is, with the
// error left as the last-error value.
enum class HttpReadResult { Data, End, QueryDataAvailableFailed, ReadDataFailed };

class HttpTransport {
public:
    // The transport in place: the platform's, unless Set put another there.
    static HttpTransport& Current();
    // Puts transport in place and returns the one it replaced (null for the platform's); null
    // restores the platform's. For tests; not to be switched while requests run.
    static HttpTransport* Set(HttpTransport* transport);

    virtual ~HttpTransport() = default;

    // A session without a proxy, for synchronous use.
    virtual HttpHandle Open(const wchar_t* userAgent) = 0;
    // Time-outs in milliseconds for handles made from the session afterwards; 0 means none. The
    // resolve limit counts only when a host name is resolved, never for an address literal.
    virtual bool SetTimeouts(HttpHandle session, int resolveMs, int connectMs, int sendMs,
                             int receiveMs) = 0;
    // A connection to a server (host name or dotted address); port 0 is HttpDefaultPort.
    virtual HttpHandle Connect(HttpHandle session, const wchar_t* server, std::uint16_t port) = 0;
    // A GET request for path, which goes out exactly as given (no escaping).
    virtual HttpHandle OpenRequest(HttpHandle connection, const wchar_t* path) = 0;
    // Basic credentials, offered with the request itself rather than after a challenge.
    virtual bool SetCredentials(HttpHandle request, const wchar_t* user,
                                const wchar_t* password) = 0;
    // Sends the request (no extra headers, no body).
    virtual bool SendRequest(HttpHandle request) = 0;
    // Waits for the response headers.
    virtual bool ReceiveResponse(HttpHandle request) = 0;
    // The status code of the received response.
    virtual bool QueryStatusCode(HttpHandle request, DWORD* status) = 0;
    // The body length the received response announces (Content-Length); false with
    // HeaderNotFound when it announces none, as with chunked transfer coding.
    virtual bool QueryContentLength(HttpHandle request, std::uint64_t* length) = 0;
    // Bytes of the body that can be read now, waiting for some when none are; 0 at its end.
    virtual bool QueryDataAvailable(HttpHandle request, DWORD* available) = 0;
    // Reads up to size bytes of the body.
    virtual bool ReadData(HttpHandle request, void* buffer, DWORD size, DWORD* read) = 0;
    // One step of reading the body into receiver: waits for bytes as QueryDataAvailable does and
    // hands over what can be read, counted in received (Data, possibly 0), or says the body
    // ended (End). By default the bytes are read with ReadData into scratch, which grows to the
    // largest block; a transport that holds the body itself hands them over where they lie.
    virtual HttpReadResult ReceiveData(HttpHandle request, HttpBodyReceiver& receiver,
                                       std::vector<unsigned char>& scratch, DWORD* received);
    virtual bool CloseHandle(HttpHandle handle) = 0;
};

// The platform's own transport.
HttpTransport& PlatformHttpTransport();

}  // namespace QX
