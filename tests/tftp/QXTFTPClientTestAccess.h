#pragma once

// Opens the protected endpoint of TFTPClient to the tests.

#include <boost/make_shared.hpp>

#include "qxnet/tftp/QXTFTPClient.h"

namespace QXTest {

class TestClient : public QXSDK::TFTPClient {
public:
    using TFTPClient::ClearError;
    using TFTPClient::GetBroadcastResponse;
    using TFTPClient::GetBroadcastResponseEx;
    using TFTPClient::Receive;
    using TFTPClient::Send;
    using TFTPClient::SetError;
    using TFTPClient::TFTPClient;

    QX::SocketHandle Socket() const { return socket; }
    const QX::SocketAddressV4& Remote() const { return remote; }
    int Port() const { return port; }
    int Reserved() const { return reserved; }
    std::uint32_t LocalAddress() const { return localAddress; }
    int Retries() const { return retries; }
    const wchar_t* Name() const { return name; }
    const boost::shared_ptr<QX::CodeLock>& Lock() const { return lock; }
};

inline boost::shared_ptr<QX::CodeLock> NewLock() {
    return boost::make_shared<QX::CodeLock>();
}

}  // namespace QXTest
