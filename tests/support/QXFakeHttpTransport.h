#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qxnet/platform/QXHttp.h"
#include "qxnet/platform/QXSync.h"

namespace QXTest {

// The answer to one request, in sending order; one failing Open or Connect is used up there.
struct FakeReply {
    DWORD openError = 0;     // Open fails with it
    DWORD connectError = 0;  // Connect fails with it
    DWORD sendError = 0;     // SendRequest fails with it
    DWORD receiveError = 0;  // ReceiveResponse fails with it
    DWORD status = 200;
    std::vector<std::string> blocks = {};  // the body, one block per QueryDataAvailable
    DWORD queryError = 0;                  // QueryDataAvailable fails with it after the blocks
    DWORD readError = 0;                   // ReadData fails with it
    std::int64_t contentLength = -1;       // the announced body length; negative: none
};

// The transport while it lives, logging each call as a line ("Connect 127.0.0.5 0"); unscripted
// requests fail with 12029 and closed handles as the platform's do. Thread-safe.
class FakeHttpTransport : public QX::HttpTransport {
public:
    FakeHttpTransport() : m_previous(QX::HttpTransport::Set(this)) {}
    ~FakeHttpTransport() override { QX::HttpTransport::Set(m_previous); }

    void Script(FakeReply reply) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_replies.push_back(std::move(reply));
    }
    // The logged calls that start with prefix (all of them by default).
    std::vector<std::wstring> Calls(const std::wstring& prefix = L"") {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<std::wstring> calls;
        std::copy_if(m_log.begin(), m_log.end(), std::back_inserter(calls),
                     [&](const std::wstring& line) { return line.rfind(prefix, 0) == 0; });
        return calls;
    }
    std::size_t OpenHandles() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_open.size();
    }
    void ClearLog() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_log.clear();
    }

    QX::HttpHandle Open(const wchar_t* userAgent) override {
        return NewHandle(nullptr, std::wstring(L"Open ") + userAgent, &FakeReply::openError);
    }
    bool SetTimeouts(QX::HttpHandle session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) override {
        return On(session,
                  L"SetTimeouts " + std::to_wstring(resolveMs) + L" " + std::to_wstring(connectMs) +
                      L" " + std::to_wstring(sendMs) + L" " + std::to_wstring(receiveMs),
                  [](FakeReply&) { return true; });
    }
    QX::HttpHandle Connect(QX::HttpHandle session, const wchar_t* server,
                           std::uint16_t port) override {
        return NewHandle(session, std::wstring(L"Connect ") + server + L" " + std::to_wstring(port),
                         &FakeReply::connectError);
    }
    QX::HttpHandle OpenRequest(QX::HttpHandle connection, const wchar_t* path) override {
        return NewHandle(connection, std::wstring(L"OpenRequest ") + path, nullptr);
    }
    bool SetCredentials(QX::HttpHandle request, const wchar_t* user,
                        const wchar_t* password) override {
        return On(request, std::wstring(L"SetCredentials ") + user + L" " + password,
                  [](FakeReply&) { return true; });
    }
    bool SendRequest(QX::HttpHandle request) override {
        return On(request, L"SendRequest", [this](FakeReply& reply) {
            if (m_replies.empty()) {
                return Fail(QX::HttpError::CannotConnect);
            }
            reply = std::move(m_replies.front());
            m_replies.pop_front();
            return reply.sendError == 0 || Fail(reply.sendError);
        });
    }
    bool ReceiveResponse(QX::HttpHandle request) override {
        return On(request, L"ReceiveResponse", [](FakeReply& reply) {
            return reply.receiveError == 0 || Fail(reply.receiveError);
        });
    }
    bool QueryStatusCode(QX::HttpHandle request, DWORD* status) override {
        return On(request, L"QueryStatusCode", [&](FakeReply& reply) {
            *status = reply.status;
            return true;
        });
    }
    bool QueryContentLength(QX::HttpHandle request, std::uint64_t* length) override {
        return On(request, L"QueryContentLength", [&](FakeReply& reply) {
            *length = static_cast<std::uint64_t>(std::max<std::int64_t>(reply.contentLength, 0));
            return reply.contentLength >= 0 || Fail(QX::HttpError::HeaderNotFound);
        });
    }
    bool QueryDataAvailable(QX::HttpHandle request, DWORD* available) override {
        return On(request, L"QueryDataAvailable", [&](FakeReply& reply) {
            *available = reply.blocks.empty() ? 0 : static_cast<DWORD>(reply.blocks[0].size());
            return *available != 0 || reply.queryError == 0 || Fail(reply.queryError);
        });
    }
    // Hands out the first block, which must fit.
    bool ReadData(QX::HttpHandle request, void* buffer, DWORD size, DWORD* read) override {
        return On(request, L"ReadData " + std::to_wstring(size), [&](FakeReply& reply) {
            *read = 0;
            if (reply.readError != 0 || reply.blocks.empty() || reply.blocks[0].size() > size) {
                return Fail(reply.readError != 0 ? reply.readError
                                                 : QX::HttpError::InvalidParameter);
            }
            *read = static_cast<DWORD>(reply.blocks[0].size());
            std::memcpy(buffer, reply.blocks[0].data(), *read);
            reply.blocks.erase(reply.blocks.begin());
            return true;
        });
    }
    bool CloseHandle(QX::HttpHandle handle) override {
        return On(handle, L"CloseHandle", [&](FakeReply&) { return m_open.erase(handle) == 1; });
    }

private:
    static bool Fail(DWORD error) {
        QX::SetLastErrorValue(error);
        return false;
    }
    // Logs the call and hands out a handle, unless the parent is not open or the reply fails it.
    QX::HttpHandle NewHandle(QX::HttpHandle parent, std::wstring line, DWORD FakeReply::*failure) {
        std::lock_guard<std::mutex> guard(m_mutex);
        const bool session = failure == &FakeReply::openError;
        m_log.push_back(std::move(line));
        DWORD error = !session && m_open.count(parent) == 0 ? QX::HttpError::InvalidHandle : 0;
        if (error == 0 && failure != nullptr && !m_replies.empty() && m_replies.front().*failure) {
            error = m_replies.front().*failure;
            m_replies.pop_front();
        }
        if (error != 0) {
            Fail(error);
            return nullptr;
        }
        m_next += 0x10;
        return m_open.emplace(reinterpret_cast<QX::HttpHandle>(m_next), FakeReply{}).first->first;
    }
    // Logs the call and runs f on the handle's reply under the lock.
    template <typename F>
    bool On(QX::HttpHandle handle, std::wstring line, F f) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_log.push_back(std::move(line));
        auto found = m_open.find(handle);
        return found == m_open.end() ? Fail(QX::HttpError::InvalidHandle) : f(found->second);
    }

    std::mutex m_mutex;
    std::deque<FakeReply> m_replies;
    std::vector<std::wstring> m_log;
    std::map<QX::HttpHandle, FakeReply> m_open;  // every open handle; a request's reply
    std::uintptr_t m_next = 0x1000;
    QX::HttpTransport* m_previous;
};

}  // namespace QXTest
