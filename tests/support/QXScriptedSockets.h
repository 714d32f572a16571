#pragma once

// The network played from a script: one queue for all sockets, sends recorded, no real waits.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "qxnet/platform/QXSocket.h"

namespace QX {

class ScriptedSocketBackend final : public SocketBackend {
public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        SocketAddressV4 peer;       // the sender of a received one, the destination of a sent one
        std::uint32_t dropped = 0;  // what reception reports as ReceivedDatagram::dropped
    };

    // Installs itself in place of the current backend; the destructor puts that one back.
    void Install() {
        if (!m_installed) {
            m_previous = SocketBackend::Set(this);
            m_installed = true;
        }
    }
    ~ScriptedSocketBackend() override {
        if (m_installed) {
            SocketBackend::Set(m_previous);
        }
    }

    // Queues a datagram for reception.
    void Push(const void* bytes, std::size_t size, const SocketAddressV4& from) {
        const auto* first = static_cast<const std::uint8_t*>(bytes);
        Push(std::vector<std::uint8_t>(first, first + size), from);
    }
    void Push(const std::vector<std::uint8_t>& bytes, const SocketAddressV4& from,
              std::uint32_t dropped = 0) {
        Append(m_queue, Datagram{bytes, from, dropped});
    }
    // Outcomes (error for Failed) and errors the next waits and receives take before the queue.
    void PushWaitOutcome(SocketWait outcome, int error = 0) {
        Append(m_waits, std::pair{outcome, error});
    }
    void PushReceiveError(int error) { Append(m_receiveErrors, error); }
    // Every call of these fails with the error from now on (0: succeed again).
    void FailCreate(int error) { Store(m_createError, error); }
    void FailBind(int error) { Store(m_bindError, error); }
    void FailSend(int error) { Store(m_sendError, error); }
    void FailOption(SocketOption option, int error) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_optionErrors[option] = error;
    }
    // Called after each recorded send; a script answers requests from here with Push.
    void OnSend(std::function<void(const Datagram& sent)> hook) {
        Store(m_onSend, std::move(hook));
    }

    std::vector<Datagram> Sent() const { return Load(m_sent); }
    std::size_t Pending() const { return Load(m_queue).size(); }
    // Option values last set, by socket and option; absent when never set.
    bool OptionValue(SocketHandle socket, SocketOption option, int* value) const;
    std::size_t OpenSockets() const { return Load(m_open).size(); }
    std::size_t WaitCount() const { return Load(m_waitCount); }

    SocketHandle CreateUdp() override;
    bool Close(SocketHandle socket) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return Usable(socket) && m_open.erase(socket) == 1;
    }
    bool Bind(SocketHandle socket, const SocketAddressV4& local) override;
    bool LocalAddress(SocketHandle socket, SocketAddressV4* local) override;
    bool SetOption(SocketHandle socket, SocketOption option, int value) override;
    bool JoinGroup(SocketHandle socket, std::uint32_t, std::uint32_t) override {
        return SetMulticastInterface(socket, 0);
    }
    bool SetMulticastInterface(SocketHandle socket, std::uint32_t) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return Usable(socket);
    }
    SocketWait WaitReadable(SocketHandle socket, std::uint32_t timeoutUs) override;
    int SendTo(SocketHandle socket, const void* data, int length,
               const SocketAddressV4& to) override;
    bool ReceiveFrom(SocketHandle socket, void* buffer, int capacity,
                     ReceivedDatagram* received) override;

private:
    template <class Field, class Value>
    void Store(Field& field, Value value) {
        std::lock_guard<std::mutex> guard(m_mutex);
        field = std::move(value);
    }
    template <class Field, class Value>
    void Append(Field& field, Value value) {
        std::lock_guard<std::mutex> guard(m_mutex);
        field.push_back(std::move(value));
    }
    template <class Field>
    Field Load(const Field& field) const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return field;
    }
    // Under the lock: open and not failing (a nonzero failure is set as the last error).
    bool Usable(SocketHandle socket, int failure = 0) const;

    mutable std::mutex m_mutex;
    SocketBackend* m_previous = nullptr;
    bool m_installed = false;
    SocketHandle m_next = 0x51000;  // far from any real descriptor: one reaching the system fails
    std::map<SocketHandle, SocketAddressV4> m_open;
    std::map<std::pair<SocketHandle, SocketOption>, int> m_options;
    std::deque<Datagram> m_queue;
    std::deque<std::pair<SocketWait, int>> m_waits;
    std::deque<int> m_receiveErrors;
    std::vector<Datagram> m_sent;
    int m_createError = 0;
    int m_bindError = 0;
    int m_sendError = 0;
    std::map<SocketOption, int> m_optionErrors;
    std::function<void(const Datagram&)> m_onSend;
    std::size_t m_waitCount = 0;
};

}  // namespace QX
