#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXStream.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace QXTest {

// A client that opens the protected operations and fields to the tests.
class TransferClient : public QXSDK::TFTPClient {
public:
    TransferClient(int port, bool useDouble = false, int retries = 3)
        : QXSDK::TFTPClient(boost::make_shared<QX::CodeLock>(), 0, useDouble, retries, 0, port) {}

    using QXSDK::TFTPClient::AllPacketsExist;
    using QXSDK::TFTPClient::ReadResponse;
    using QXSDK::TFTPClient::Receive;
    using QXSDK::TFTPClient::SendAck;
    using QXSDK::TFTPClient::WaitForAck;
    using QXSDK::TFTPClient::WaitForData;
    using QXSDK::TFTPClient::WaitForOpAck;

    HANDLE Thread() const { return receiveThread; }
    int RemotePort() const;
};

// A stream that keeps everything written to it.
class VectorStream : public QXSDK::IStream {
public:
    std::int32_t Write(const void* data, std::uint32_t size) override;
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(bytes.size()); }
    std::vector<std::uint8_t> bytes;
};

std::string Narrow(const wchar_t* text);

}  // namespace QXTest
