#include "tests/support/QXFakeHttpTransport.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "qxnet/platform/QXSync.h"

namespace QXTest {

namespace {

bool Fail(DWORD error) {
    QX::SetLastErrorValue(error);
    return false;
}

}  // namespace

std::vector<std::wstring> FakeHttpTransport::Calls(const std::wstring& prefix) {
    std::vector<std::wstring> calls = Log();
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [&](const std::wstring& line) {
                                   return line.compare(0, prefix.size(), prefix) != 0;
                               }),
                calls.end());
    return calls;
}

// Logs the call; fails with the error once if one is set, else hands out a new handle.
QX::HttpHandle FakeHttpTransport::NewHandle(std::wstring line, DWORD& error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(std::move(line));
    if (error != 0) {
        QX::SetLastErrorValue(std::exchange(error, 0));
        return nullptr;
    }
    QX::HttpHandle handle = reinterpret_cast<QX::HttpHandle>(m_next);
    m_next += 0x10;
    m_open.insert(handle);
    return handle;
}

// Logs the call (unless line is empty) and runs f on the request's state; a handle that names no
// request fails as the platform's does.
template <typename F>
bool FakeHttpTransport::OnRequest(QX::HttpHandle handle, std::wstring line, F f) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!line.empty()) {
        m_log.push_back(std::move(line));
    }
    auto found = m_requests.find(handle);
    return found == m_requests.end() ? Fail(QX::HttpError::InvalidHandle) : f(found->second);
}

QX::HttpHandle FakeHttpTransport::Open(const wchar_t* userAgent) {
    return NewHandle(std::wstring(L"Open ") + userAgent, m_openError);
}

bool FakeHttpTransport::SetTimeouts(QX::HttpHandle, int resolveMs, int connectMs, int sendMs,
                                    int receiveMs) {
    return Locked([&] {
        m_log.push_back(L"SetTimeouts " + std::to_wstring(resolveMs) + L" " +
                        std::to_wstring(connectMs) + L" " + std::to_wstring(sendMs) + L" " +
                        std::to_wstring(receiveMs));
        return true;
    });
}

QX::HttpHandle FakeHttpTransport::Connect(QX::HttpHandle, const wchar_t* server,
                                          std::uint16_t port) {
    return NewHandle(std::wstring(L"Connect ") + server + L" " + std::to_wstring(port),
                     m_connectError);
}

QX::HttpHandle FakeHttpTransport::OpenRequest(QX::HttpHandle connection, const wchar_t* path) {
    DWORD error =
        Locked([&] { return m_open.count(connection) == 0 ? QX::HttpError::InvalidHandle : 0; });
    QX::HttpHandle handle = NewHandle(std::wstring(L"OpenRequest ") + path, error);
    if (handle != nullptr) {
        Locked([&] { m_requests.emplace(handle, RequestState{}); });
    }
    return handle;
}

bool FakeHttpTransport::SetCredentials(QX::HttpHandle, const wchar_t* user,
                                       const wchar_t* password) {
    return Locked([&] {
        m_log.push_back(std::wstring(L"SetCredentials ") + user + L" " + password);
        return true;
    });
}

bool FakeHttpTransport::SendRequest(QX::HttpHandle request) {
    return OnRequest(request, L"SendRequest", [this](RequestState& state) {
        if (m_replies.empty()) {
            return Fail(QX::HttpError::CannotConnect);
        }
        state.reply = m_replies.front();
        m_replies.pop_front();
        return state.reply.sendError == 0 || Fail(state.reply.sendError);
    });
}

bool FakeHttpTransport::ReceiveResponse(QX::HttpHandle request) {
    return OnRequest(request, L"ReceiveResponse", [](RequestState& state) {
        return state.reply.receiveError == 0 || Fail(state.reply.receiveError);
    });
}

bool FakeHttpTransport::QueryStatusCode(QX::HttpHandle request, DWORD* status) {
    return OnRequest(request, L"", [&](RequestState& state) {
        *status = state.reply.status;
        return true;
    });
}

bool FakeHttpTransport::QueryContentLength(QX::HttpHandle request, std::uint64_t* length) {
    return OnRequest(request, L"", [&](RequestState& state) {
        if (state.reply.contentLength < 0) {
            return Fail(QX::HttpError::HeaderNotFound);
        }
        *length = static_cast<std::uint64_t>(state.reply.contentLength);
        return true;
    });
}

bool FakeHttpTransport::QueryDataAvailable(QX::HttpHandle request, DWORD* available) {
    return OnRequest(request, L"QueryDataAvailable", [&](RequestState& state) {
        const auto& blocks = state.reply.blocks;
        if (state.block == blocks.size() && state.reply.queryError != 0) {
            return Fail(state.reply.queryError);
        }
        *available = state.block == blocks.size()
                         ? 0
                         : static_cast<DWORD>(blocks[state.block].size() - state.offset);
        return true;
    });
}

bool FakeHttpTransport::ReadData(QX::HttpHandle request, void* buffer, DWORD size, DWORD* read) {
    return OnRequest(request, L"ReadData " + std::to_wstring(size), [&](RequestState& state) {
        if (state.reply.readError != 0) {
            return Fail(state.reply.readError);
        }
        *read = 0;
        if (state.block < state.reply.blocks.size()) {
            const std::string& block = state.reply.blocks[state.block];
            std::size_t count = std::min<std::size_t>(size, block.size() - state.offset);
            std::memcpy(buffer, block.data() + state.offset, count);
            state.offset += count;
            if (state.offset == block.size()) {
                ++state.block;
                state.offset = 0;
            }
            *read = static_cast<DWORD>(count);
        }
        return true;
    });
}

bool FakeHttpTransport::CloseHandle(QX::HttpHandle handle) {
    return Locked([&] {
        m_log.push_back(L"CloseHandle");
        m_requests.erase(handle);
        return m_open.erase(handle) == 1 || Fail(QX::HttpError::InvalidHandle);
    });
}

}  // namespace QXTest
