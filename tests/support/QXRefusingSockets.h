#pragma once

#include <cstdint>
#include <set>
#include <utility>

#include "qxnet/platform/QXSocket.h"

namespace QXTest {

// While it lives, refuses binds to the given addresses (host order) and passes the rest on.
class RefusingSockets : public QX::SocketBackend {
public:
    explicit RefusingSockets(std::set<std::uint32_t> refused,
                             QX::SocketBackend& next = QX::PlatformSocketBackend())
        : m_refused(std::move(refused)), m_next(next), m_previous(QX::SocketBackend::Set(this)) {}
    ~RefusingSockets() override { QX::SocketBackend::Set(m_previous); }

    QX::SocketHandle CreateUdp() override { return m_next.CreateUdp(); }
    bool Close(QX::SocketHandle socket) override { return m_next.Close(socket); }
    bool Bind(QX::SocketHandle socket, const QX::SocketAddressV4& local) override {
        if (m_refused.count(QX::NetworkToHost32(local.address)) != 0) {
            QX::SetSocketLastError(QX::SocketError::AddressNotAvailable);
            return false;
        }
        return m_next.Bind(socket, local);
    }
    bool LocalAddress(QX::SocketHandle socket, QX::SocketAddressV4* local) override {
        return m_next.LocalAddress(socket, local);
    }
    bool SetOption(QX::SocketHandle socket, QX::SocketOption option, int value) override {
        return m_next.SetOption(socket, option, value);
    }
    bool JoinGroup(QX::SocketHandle socket, std::uint32_t group, std::uint32_t address) override {
        return m_next.JoinGroup(socket, group, address);
    }
    bool SetMulticastInterface(QX::SocketHandle socket, std::uint32_t address) override {
        return m_next.SetMulticastInterface(socket, address);
    }
    QX::SocketWait WaitReadable(QX::SocketHandle socket, std::uint32_t timeoutUs) override {
        return m_next.WaitReadable(socket, timeoutUs);
    }
    int SendTo(QX::SocketHandle socket, const void* data, int length,
               const QX::SocketAddressV4& to) override {
        return m_next.SendTo(socket, data, length, to);
    }
    bool ReceiveFrom(QX::SocketHandle socket, void* buffer, int capacity,
                     QX::ReceivedDatagram* received) override {
        return m_next.ReceiveFrom(socket, buffer, capacity, received);
    }

private:
    std::set<std::uint32_t> m_refused;
    QX::SocketBackend& m_next;
    QX::SocketBackend* m_previous;
};

}  // namespace QXTest
