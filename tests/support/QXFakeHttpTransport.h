#pragma once

#include <cstdint>
#include <deque>
#include <memory>
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
    std::vector<std::string> blocks;  // the body, block by block as QueryDataAvailable tells it
    DWORD queryError = 0;             // QueryDataAvailable fails with it once the blocks are read
    DWORD readError = 0;              // ReadData fails with it
    std::int64_t contentLength = -1;  // the announced body length; negative: none
};

// A recording transport in place of the platform's while it lives. Every call is written to the
// log as one line ("Open QX6SDK", "Connect 127.0.0.5 0", "SetCredentials admin secret", ...).
// A request that finds no scripted reply fails to send with 12029. Safe from several threads.
class FakeHttpTransport : public QX::HttpTransport {
public:
    FakeHttpTransport();
    ~FakeHttpTransport() override;

    void Script(FakeReply reply);
    // The next Open or Connect fails with the error (once).
    void FailOpen(DWORD error);
    void FailConnect(DWORD error);

    std::vector<std::wstring> Log();
    std::vector<std::wstring> Calls(const std::wstring& prefix);
    std::size_t OpenHandles();
    void ClearLog();

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
    QX::HttpHandle NewHandle();
    bool Fail(DWORD error);
    RequestState* Find(QX::HttpHandle handle);

    std::mutex m_mutex;
    std::deque<FakeReply> m_replies;
    DWORD m_openError = 0;
    DWORD m_connectError = 0;
    std::vector<std::wstring> m_log;
    std::set<QX::HttpHandle> m_open;
    std::vector<std::pair<QX::HttpHandle, std::shared_ptr<RequestState>>> m_requests;
    std::uintptr_t m_next = 0x1000;
    QX::HttpTransport* m_previous;
};

}  // namespace QXTest
