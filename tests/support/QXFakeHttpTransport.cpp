#include "tests/support/QXFakeHttpTransport.h"

#include <algorithm>
#include <cstring>

#include "qxnet/platform/QXSync.h"

namespace QXTest {

FakeHttpTransport::FakeHttpTransport() : m_previous(QX::HttpTransport::Set(this)) {}

FakeHttpTransport::~FakeHttpTransport() {
    QX::HttpTransport::Set(m_previous);
}

void FakeHttpTransport::Script(FakeReply reply) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_replies.push_back(std::move(reply));
}

void FakeHttpTransport::FailOpen(DWORD error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_openError = error;
}

void FakeHttpTransport::FailConnect(DWORD error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_connectError = error;
}

std::vector<std::wstring> FakeHttpTransport::Log() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_log;
}

std::vector<std::wstring> FakeHttpTransport::Calls(const std::wstring& prefix) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<std::wstring> calls;
    for (const std::wstring& line : m_log) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            calls.push_back(line);
        }
    }
    return calls;
}

std::size_t FakeHttpTransport::OpenHandles() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_open.size();
}

void FakeHttpTransport::ClearLog() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.clear();
}

QX::HttpHandle FakeHttpTransport::NewHandle() {
    QX::HttpHandle handle = reinterpret_cast<QX::HttpHandle>(m_next);
    m_next += 0x10;
    m_open.insert(handle);
    return handle;
}

bool FakeHttpTransport::Fail(DWORD error) {
    QX::SetLastErrorValue(error);
    return false;
}

FakeHttpTransport::RequestState* FakeHttpTransport::Find(QX::HttpHandle handle) {
    for (auto& entry : m_requests) {
        if (entry.first == handle) {
            return entry.second.get();
        }
    }
    return nullptr;
}

QX::HttpHandle FakeHttpTransport::Open(const wchar_t* userAgent) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(std::wstring(L"Open ") + userAgent);
    if (m_openError != 0) {
        QX::SetLastErrorValue(m_openError);
        m_openError = 0;
        return nullptr;
    }
    return NewHandle();
}

bool FakeHttpTransport::SetTimeouts(QX::HttpHandle, int resolveMs, int connectMs, int sendMs,
                                    int receiveMs) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(L"SetTimeouts " + std::to_wstring(resolveMs) + L" " +
                    std::to_wstring(connectMs) + L" " + std::to_wstring(sendMs) + L" " +
                    std::to_wstring(receiveMs));
    return true;
}

QX::HttpHandle FakeHttpTransport::Connect(QX::HttpHandle, const wchar_t* server,
                                          std::uint16_t port) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(std::wstring(L"Connect ") + server + L" " + std::to_wstring(port));
    if (m_connectError != 0) {
        QX::SetLastErrorValue(m_connectError);
        m_connectError = 0;
        return nullptr;
    }
    return NewHandle();
}

QX::HttpHandle FakeHttpTransport::OpenRequest(QX::HttpHandle connection, const wchar_t* path) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(std::wstring(L"OpenRequest ") + path);
    if (m_open.count(connection) == 0) {
        QX::SetLastErrorValue(QX::HttpError::InvalidHandle);
        return nullptr;
    }
    QX::HttpHandle handle = NewHandle();
    m_requests.emplace_back(handle, std::make_shared<RequestState>());
    return handle;
}

bool FakeHttpTransport::SetCredentials(QX::HttpHandle, const wchar_t* user,
                                       const wchar_t* password) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(std::wstring(L"SetCredentials ") + user + L" " + password);
    return true;
}

bool FakeHttpTransport::SendRequest(QX::HttpHandle request) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(L"SendRequest");
    RequestState* state = Find(request);
    if (state == nullptr) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    if (m_replies.empty()) {
        return Fail(QX::HttpError::CannotConnect);
    }
    state->reply = m_replies.front();
    m_replies.pop_front();
    return state->reply.sendError == 0 || Fail(state->reply.sendError);
}

bool FakeHttpTransport::ReceiveResponse(QX::HttpHandle request) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(L"ReceiveResponse");
    RequestState* state = Find(request);
    if (state == nullptr) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    return state->reply.receiveError == 0 || Fail(state->reply.receiveError);
}

bool FakeHttpTransport::QueryStatusCode(QX::HttpHandle request, DWORD* status) {
    std::lock_guard<std::mutex> guard(m_mutex);
    RequestState* state = Find(request);
    if (state == nullptr) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    *status = state->reply.status;
    return true;
}

bool FakeHttpTransport::QueryContentLength(QX::HttpHandle request, std::uint64_t* length) {
    std::lock_guard<std::mutex> guard(m_mutex);
    RequestState* state = Find(request);
    if (state == nullptr) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    if (state->reply.contentLength < 0) {
        return Fail(QX::HttpError::HeaderNotFound);
    }
    *length = static_cast<std::uint64_t>(state->reply.contentLength);
    return true;
}

bool FakeHttpTransport::QueryDataAvailable(QX::HttpHandle request, DWORD* available) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(L"QueryDataAvailable");
    RequestState* state = Find(request);
    if (state == nullptr) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    const auto& blocks = state->reply.blocks;
    if (state->block == blocks.size()) {
        if (state->reply.queryError != 0) {
            return Fail(state->reply.queryError);
        }
        *available = 0;
        return true;
    }
    *available = static_cast<DWORD>(blocks[state->block].size() - state->offset);
    return true;
}

bool FakeHttpTransport::ReadData(QX::HttpHandle request, void* buffer, DWORD size, DWORD* read) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(L"ReadData " + std::to_wstring(size));
    RequestState* state = Find(request);
    if (state == nullptr) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    if (state->reply.readError != 0) {
        return Fail(state->reply.readError);
    }
    *read = 0;
    if (state->block < state->reply.blocks.size()) {
        const std::string& block = state->reply.blocks[state->block];
        std::size_t count = std::min<std::size_t>(size, block.size() - state->offset);
        std::memcpy(buffer, block.data() + state->offset, count);
        state->offset += count;
        if (state->offset == block.size()) {
            ++state->block;
            state->offset = 0;
        }
        *read = static_cast<DWORD>(count);
    }
    return true;
}

bool FakeHttpTransport::CloseHandle(QX::HttpHandle handle) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_log.push_back(L"CloseHandle");
    if (m_open.erase(handle) == 0) {
        return Fail(QX::HttpError::InvalidHandle);
    }
    m_requests.erase(std::remove_if(m_requests.begin(), m_requests.end(),
                                    [handle](const auto& entry) { return entry.first == handle; }),
                     m_requests.end());
    return true;
}

}  // namespace QXTest
