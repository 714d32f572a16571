#include "qxnet/platform/QXHttp.h"

#include <winhttp.h>

// WinHTTP itself: each operation is the call of the same name, and its error numbers are the
// ones the transport reports everywhere.

namespace QX {
namespace {

class WinHttpTransport : public HttpTransport {
public:
    HttpHandle Open(const wchar_t* userAgent) override {
        return WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    }

    bool SetTimeouts(HttpHandle session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) override {
        return WinHttpSetTimeouts(session, resolveMs, connectMs, sendMs, receiveMs) != FALSE;
    }

    HttpHandle Connect(HttpHandle session, const wchar_t* server, std::uint16_t port) override {
        return WinHttpConnect(session, server, port, 0);
    }

    HttpHandle OpenRequest(HttpHandle connection, const wchar_t* path) override {
        HINTERNET request =
            WinHttpOpenRequest(connection, nullptr, path, nullptr, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_ESCAPE_DISABLE);
        if (request == nullptr) {
            return nullptr;
        }
        // WinHTTP follows redirects by default, to other hosts too and with the credentials set
        // for this one; the transport follows none, so a request that cannot be kept from
        // following is not made at all.
        DWORD features = WINHTTP_DISABLE_REDIRECTS;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features,
                              sizeof features)) {
            DWORD error = GetLastError();
            WinHttpCloseHandle(request);
            SetLastError(error);
            return nullptr;
        }
        return request;
    }

    bool SetCredentials(HttpHandle request, const wchar_t* user, const wchar_t* password) override {
        return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_SERVER, WINHTTP_AUTH_SCHEME_BASIC,
                                     user, password, nullptr) != FALSE;
    }

    bool SendRequest(HttpHandle request) override {
        return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
    }

    bool ReceiveResponse(HttpHandle request) override {
        return WinHttpReceiveResponse(request, nullptr) != FALSE;
    }

    bool QueryStatusCode(HttpHandle request, DWORD* status) override {
        DWORD size = sizeof(DWORD);
        return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, status, &size,
                                   WINHTTP_NO_HEADER_INDEX) != FALSE;
    }

    bool QueryContentLength(HttpHandle request, std::uint64_t* length) override {
        // Chunked coding overrides an announced length, as it does for the reader.
        DWORD size = 0;
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING,
                                WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                                WINHTTP_NO_HEADER_INDEX) ||
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
            return false;
        }
        wchar_t text[32] = {};
        size = sizeof text - sizeof text[0];
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH,
                                 WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
                SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
            }
            return false;
        }
        // Digits only; anything else announces nothing that can be checked.
        std::uint64_t value = 0;
        const wchar_t* digit = text;
        for (; *digit >= L'0' && *digit <= L'9' && value < (1ULL << 56); ++digit) {
            value = value * 10 + static_cast<std::uint64_t>(*digit - L'0');
        }
        if (digit == text || *digit != 0) {
            SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
            return false;
        }
        *length = value;
        return true;
    }

    bool QueryDataAvailable(HttpHandle request, DWORD* available) override {
        return WinHttpQueryDataAvailable(request, available) != FALSE;
    }

    bool ReadData(HttpHandle request, void* buffer, DWORD size, DWORD* read) override {
        return WinHttpReadData(request, buffer, size, read) != FALSE;
    }

    bool CloseHandle(HttpHandle handle) override { return WinHttpCloseHandle(handle) != FALSE; }
};

}  // namespace

HttpTransport& PlatformHttpTransport() {
    static WinHttpTransport transport;
    return transport;
}

}  // namespace QX
