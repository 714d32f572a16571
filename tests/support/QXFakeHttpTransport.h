#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qxnet/platform/QXHttp.h"

namespace QXTest {

// The answer to one request, taken in the order requests are sent.
struct FakeReply {
    DWORD sendError = 0;     // SendRequest fails with it
    DWORD receiveError = 0;  // ReceiveResponse fails with it
    DWORD status = 200;
    // The body, block by block as QueryDataAvailable tells it.
    std::vector<std::string> blocks = {};
    DWORD queryError = 0;             // QueryDataAvailable fails with it once the blocks are read
    DWORD readError = 0;              // ReadData fails with it
    std::int64_t contentLength = -1;  // the announced body length; negative: none
};

// A recording transport in place of the platform's while it lives. Every call is written to the
// log as one line ("Open QX6SDK", "Connect 127.0.0.5 0", "SetCredentials admin secret", ...).
// A request that finds no scripted reply fails to send with 12029. Safe from several threads.
class FakeHttpTransport : public QX::HttpTransport {
public:
    FakeHttpTransport() : m_previous(QX::HttpTransport::Set(this)) {}
    ~FakeHttpTransport() override { QX::HttpTransport::Set(m_previous); }

    void Script(FakeReply reply) {
        Locked([&] { m_replies.push_back(std::move(reply)); });
    }
    // The next Open or Connect fails with the error (once).
    void FailOpen(DWORD error) {
        Locked([&] { m_openError = error; });
    }
    void FailConnect(DWORD error) {
        Locked([&] { m_connectError = error; });
    }

    std::vector<std::wstring> Log() {
        return Locked([&] { return m_log; });
    }
    std::vector<std::wstring> Calls(const std::wstring& prefix);
    std::size_t OpenHandles() {
        return Locked([&] { return m_open.size(); });
    }
    void ClearLog() {
        Locked([&] { m_log.clear(); });
    }

    QX::HttpHandle Open(const wchar_t* userAgent) override;
    bool SetTimeouts(QX::HttpHandle session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) override;
    QX::HttpHandle Connect(QX::HttpHandle session, const wchar_t* server,
                           std::uint16_t port) override;
    QX::HttpHandle OpenRequest(QX::HttpHandle connection, const wchar_t* path) override;
    bool SetCredentials(QX::HttpHandle request, const wchar_t* user,
                        const wchar_t* password) override;
    bool SendRequest(QX::HttpHandle request) override;
    bool ReceiveResponse(QX::HttpHandle request) override;
    bool QueryStatusCode(QX::HttpHandle request, DWORD* status) override;
    bool QueryContentLength(QX::HttpHandle request, std::uint64_t* length) override;
    bool QueryDataAvailable(QX::HttpHandle request, DWORD* available) override;
    bool ReadData(QX::HttpHandle request, void* buffer, DWORD size, DWORD* read) override;
    bool CloseHandle(QX::HttpHandle handle) override;

private:
    struct RequestState {
        FakeReply reply;
        std::size_t block = 0;
        std::size_t offset = 0;
    };
    template <typename F>
    auto Locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return f();
    }
    QX::HttpHandle NewHandle(std::wstring line, DWORD& error);
    template <typename F>
    bool OnRequest(QX::HttpHandle handle, std::wstring line, F f);

    std::mutex m_mutex;
    std::deque<FakeReply> m_replies;
    DWORD m_openError = 0;
    DWORD m_connectError = 0;
    std::vector<std::wstring> m_log;
    std::set<QX::HttpHandle> m_open;
    std::map<QX::HttpHandle, RequestState> m_requests;
    std::uintptr_t m_next = 0x1000;
    QX::HttpTransport* m_previous;
};

}  // namespace QXTest
