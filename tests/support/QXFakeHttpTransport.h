#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qxnet/platform/QXHttp.h"
#include "qxnet/platform/QXSync.h"

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
        std::lock_guard<std::mutex> guard(m_mutex);
        m_replies.push_back(std::move(reply));
    }
    // The next Open or Connect fails with the error (once).
    void FailOpen(DWORD error) { SetLocked(m_openError, error); }
    void FailConnect(DWORD error) { SetLocked(m_connectError, error); }

    // The log's lines that start with prefix (all of them by default).
    std::vector<std::wstring> Calls(const std::wstring& prefix = L"") {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<std::wstring> calls;
        std::copy_if(m_log.begin(), m_log.end(), std::back_inserter(calls),
                     [&](const std::wstring& line) { return line.rfind(prefix, 0) == 0; });
        return calls;
    }
    std::vector<std::wstring> Log() { return Calls(); }
    std::size_t OpenHandles() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_open.size();
    }
    void ClearLog() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_log.clear();
    }

    QX::HttpHandle Open(const wchar_t* userAgent) override {
        return NewHandle(std::wstring(L"Open ") + userAgent, m_openError);
    }
    bool SetTimeouts(QX::HttpHandle, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) override {
        std::wstring line = L"SetTimeouts";
        for (int ms : {resolveMs, connectMs, sendMs, receiveMs}) {
            line += L" " + std::to_wstring(ms);
        }
        return Record(line);
    }
    QX::HttpHandle Connect(QX::HttpHandle, const wchar_t* server, std::uint16_t port) override {
        return NewHandle(std::wstring(L"Connect ") + server + L" " + std::to_wstring(port),
                         m_connectError);
    }
    QX::HttpHandle OpenRequest(QX::HttpHandle connection, const wchar_t* path) override {
        DWORD error = Known(connection) ? 0 : QX::HttpError::InvalidHandle;
        QX::HttpHandle handle = NewHandle(std::wstring(L"OpenRequest ") + path, error);
        std::lock_guard<std::mutex> guard(m_mutex);
        if (handle != nullptr) {
            m_requests.emplace(handle, Request{});
        }
        return handle;
    }
    bool SetCredentials(QX::HttpHandle, const wchar_t* user, const wchar_t* password) override {
        return Record(std::wstring(L"SetCredentials ") + user + L" " + password);
    }
    bool SendRequest(QX::HttpHandle request) override {
        return OnRequest(request, L"SendRequest", [this](Request& state) {
            if (m_replies.empty()) {
                return Fail(QX::HttpError::CannotConnect);
            }
            state.reply = m_replies.front();
            m_replies.pop_front();
            return state.reply.sendError == 0 || Fail(state.reply.sendError);
        });
    }
    bool ReceiveResponse(QX::HttpHandle request) override {
        return OnRequest(request, L"ReceiveResponse", [](Request& state) {
            return state.reply.receiveError == 0 || Fail(state.reply.receiveError);
        });
    }
    bool QueryStatusCode(QX::HttpHandle request, DWORD* status) override {
        return OnRequest(request, L"", [&](Request& state) {
            *status = state.reply.status;
            return true;
        });
    }
    bool QueryContentLength(QX::HttpHandle request, std::uint64_t* length) override {
        return OnRequest(request, L"", [&](Request& state) {
            if (state.reply.contentLength < 0) {
                return Fail(QX::HttpError::HeaderNotFound);
            }
            *length = static_cast<std::uint64_t>(state.reply.contentLength);
            return true;
        });
    }
    bool QueryDataAvailable(QX::HttpHandle request, DWORD* available) override {
        return OnRequest(request, L"QueryDataAvailable", [&](Request& state) {
            const bool end = state.block == state.reply.blocks.size();
            *available = end ? 0 : static_cast<DWORD>(state.Block().size() - state.offset);
            return !end || state.reply.queryError == 0 || Fail(state.reply.queryError);
        });
    }
    bool ReadData(QX::HttpHandle request, void* buffer, DWORD size, DWORD* read) override {
        return OnRequest(request, L"ReadData " + std::to_wstring(size), [&](Request& state) {
            *read = 0;
            if (state.reply.readError != 0 || state.block == state.reply.blocks.size()) {
                return state.reply.readError == 0 || Fail(state.reply.readError);
            }
            *read = static_cast<DWORD>(
                std::min<std::size_t>(size, state.Block().size() - state.offset));
            std::memcpy(buffer, state.Block().data() + state.offset, *read);
            state.offset += *read;
            if (state.offset == state.Block().size()) {
                ++state.block;
                state.offset = 0;
            }
            return true;
        });
    }
    bool CloseHandle(QX::HttpHandle handle) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_log.push_back(L"CloseHandle");
        m_requests.erase(handle);
        return m_open.erase(handle) == 1 || Fail(QX::HttpError::InvalidHandle);
    }

private:
    struct Request {
        FakeReply reply;
        std::size_t block = 0;
        std::size_t offset = 0;
        const std::string& Block() const { return reply.blocks[block]; }
    };
    static bool Fail(DWORD error) {
        QX::SetLastErrorValue(error);
        return false;
    }
    bool Known(QX::HttpHandle handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_open.count(handle) != 0;
    }
    void SetLocked(DWORD& field, DWORD value) {
        std::lock_guard<std::mutex> guard(m_mutex);
        field = value;
    }
    bool Record(std::wstring line) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_log.push_back(std::move(line));
        return true;
    }
    // Logs the call; fails with the error once if one is set, else hands out a new handle.
    QX::HttpHandle NewHandle(std::wstring line, DWORD& error) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_log.push_back(std::move(line));
        if (error != 0) {
            QX::SetLastErrorValue(std::exchange(error, 0));
            return nullptr;
        }
        m_next += 0x10;
        return *m_open.insert(reinterpret_cast<QX::HttpHandle>(m_next)).first;
    }
    // Logs the call (unless line is empty) and runs f on the request's state; a handle that names
    // no request fails as the platform's does.
    template <typename F>
    bool OnRequest(QX::HttpHandle handle, std::wstring line, F f) {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!line.empty()) {
            m_log.push_back(std::move(line));
        }
        auto found = m_requests.find(handle);
        return found == m_requests.end() ? Fail(QX::HttpError::InvalidHandle) : f(found->second);
    }

    std::mutex m_mutex;
    std::deque<FakeReply> m_replies;
    DWORD m_openError = 0;
    DWORD m_connectError = 0;
    std::vector<std::wstring> m_log;
    std::set<QX::HttpHandle> m_open;
    std::map<QX::HttpHandle, Request> m_requests;
    std::uintptr_t m_next = 0x1000;
    QX::HttpTransport* m_previous;
};

}  // namespace QXTest
