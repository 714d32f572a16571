#include "tests/support/QXScriptedSockets.h"

#include <algorithm>
#include <cstring>

namespace QX {

bool ScriptedSocketBackend::OptionValue(SocketHandle socket, SocketOption option,
                                        int* value) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto found = m_options.find({socket, option});
    if (found == m_options.end()) {
        return false;
    }
    *value = found->second;
    return true;
}

bool ScriptedSocketBackend::Usable(SocketHandle socket, int failure) const {
    const int error = m_open.count(socket) == 0 ? SocketError::NotSocket : failure;
    if (error != 0) {
        SetSocketLastError(error);
    }
    return error == 0;
}

SocketHandle ScriptedSocketBackend::CreateUdp() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_createError != 0) {
        SetSocketLastError(m_createError);
        return InvalidSocket;
    }
    const SocketHandle socket = m_next++;
    m_open[socket] = SocketAddressV4{AddressFamilyInet, 0, 0, {}};
    return socket;
}

bool ScriptedSocketBackend::Bind(SocketHandle socket, const SocketAddressV4& local) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!Usable(socket, m_bindError)) {
        return false;
    }
    m_open[socket] = local;
    return true;
}

bool ScriptedSocketBackend::LocalAddress(SocketHandle socket, SocketAddressV4* local) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!Usable(socket)) {
        return false;
    }
    *local = m_open[socket];
    return true;
}

bool ScriptedSocketBackend::SetOption(SocketHandle socket, SocketOption option, int value) {
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto failure = m_optionErrors.find(option);
    if (!Usable(socket, failure != m_optionErrors.end() ? failure->second : 0)) {
        return false;
    }
    m_options[{socket, option}] = value;
    return true;
}

SocketWait ScriptedSocketBackend::WaitReadable(SocketHandle socket, std::uint32_t) {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_waitCount;
    if (!Usable(socket)) {
        return SocketWait::Failed;
    }
    if (!m_waits.empty()) {
        const auto [outcome, error] = m_waits.front();
        m_waits.pop_front();
        if (outcome == SocketWait::Failed) {
            SetSocketLastError(error);
        }
        return outcome;
    }
    return m_queue.empty() && m_receiveErrors.empty() ? SocketWait::TimedOut : SocketWait::Readable;
}

int ScriptedSocketBackend::SendTo(SocketHandle socket, const void* data, int length,
                                  const SocketAddressV4& to) {
    std::function<void(const Datagram&)> hook;
    Datagram sent;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const int failure = m_sendError != 0 ? m_sendError
                            : length < 0     ? SocketError::InvalidArgument
                                             : 0;
        if (!Usable(socket, failure)) {
            return -1;
        }
        const auto* first = static_cast<const std::uint8_t*>(data);
        sent = Datagram{std::vector<std::uint8_t>(first, first + length), to};
        m_sent.push_back(sent);
        hook = m_onSend;
    }
    if (hook) {
        hook(sent);
    }
    return length;
}

bool ScriptedSocketBackend::ReceiveFrom(SocketHandle socket, void* buffer, int capacity,
                                        ReceivedDatagram* received) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!Usable(socket)) {
        return false;
    }
    if (!m_receiveErrors.empty()) {
        SetSocketLastError(m_receiveErrors.front());
        m_receiveErrors.pop_front();
        return false;
    }
    if (m_queue.empty() || capacity < 0 || received == nullptr) {
        // A receive with nothing queued would block on a real socket; the script says so.
        SetSocketLastError(SocketError::WouldBlock);
        return false;
    }
    const Datagram datagram = std::move(m_queue.front());
    m_queue.pop_front();
    const std::size_t copied = std::min(datagram.bytes.size(), static_cast<std::size_t>(capacity));
    if (copied > 0) {
        std::memcpy(buffer, datagram.bytes.data(), copied);
    }
    *received = ReceivedDatagram{};
    received->size = static_cast<int>(std::min<std::size_t>(datagram.bytes.size(), 0x7FFFFFFF));
    received->from = datagram.peer;
    received->dropped = datagram.dropped;
    return true;
}

}  // namespace QX
