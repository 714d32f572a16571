#pragma once

// Opens TFTPClient's protected members to the tests, with the helpers they share.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXStream.h"
#include "qxnet/platform/QXUtf8.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace QXTest {

constexpr int kInvalidArgument = static_cast<int>(QX::ResultCode::InvalidArgument);
constexpr int kMoreData = static_cast<int>(QX::ResultCode::MoreData);
constexpr int kNotFound = static_cast<int>(QX::ResultCode::ObjectNotFound);
constexpr int kTimedOut = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int kUnavailable = static_cast<int>(QX::ResultCode::Unavailable);
constexpr int kUnexpected = static_cast<int>(QX::ResultCode::Unexpected);

inline boost::shared_ptr<QX::CodeLock> NewLock() {
    return boost::make_shared<QX::CodeLock>();
}

class TestClient : public QXSDK::TFTPClient {
public:
    using TFTPClient::TFTPClient;
    // A client of its own lock, not bound, opened to the camera at address:port.
    explicit TestClient(int port, bool useDouble = false, int retries = 3,
                        std::uint32_t address = 0x7F000001)
        : TFTPClient(NewLock(), 0, useDouble, retries, 0, port) {
        Open(address, port);
    }

    using TFTPClient::AllPacketsExist;
    using TFTPClient::ClearError;
    using TFTPClient::GetBroadcastResponse;
    using TFTPClient::GetBroadcastResponseEx;
    using TFTPClient::Receive;
    using TFTPClient::Send;
    using TFTPClient::SendAck;
    using TFTPClient::SetError;
    using TFTPClient::WaitForAck;
    using TFTPClient::WaitForData;
    using TFTPClient::WaitForOpAck;

    QX::SocketHandle Socket() const { return socket; }
    int Port() const { return port; }
    const wchar_t* Name() const { return name; }
    const boost::shared_ptr<QX::CodeLock>& Lock() const { return lock; }
    HANDLE Thread() const { return receiveThread; }
};

// A discovery answer of size bytes (at least 37); the MAC's first octet weighs most.
inline std::vector<std::uint8_t> CameraAnswer(std::uint64_t mac, std::uint32_t ip = 0x0A000007,
                                              std::uint16_t fwVer = 0x0102,
                                              std::uint16_t model = 0x0304, std::uint8_t byte36 = 0,
                                              std::size_t size = 73) {
    std::vector<std::uint8_t> answer(size, 0);
    std::memcpy(answer.data(), QXSDK::CameraData::AnswerTag, 21);
    answer[21] = 0x5A;
    std::size_t at = 22;  // big-endian fields, one after the other
    for (const auto& [value, bytes] :
         {std::pair<std::uint64_t, int>{mac, 6}, {ip, 4}, {fwVer, 2}, {model, 2}, {byte36, 1}}) {
        for (int i = bytes - 1; i >= 0; --i) {
            answer[at++] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
    for (std::size_t i = 37; i < 69 && i < size; ++i) {
        answer[i] = 0xA5;  // not read
    }
    return answer;
}

class VectorStream : public QXSDK::IStream {
public:
    std::int32_t Write(const void* data, std::uint32_t size) override {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(bytes.size()); }
    std::vector<std::uint8_t> bytes;
};

// Bytes that show where each one came from.
inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>('A' + (i * 7 + seed) % 26);
    }
    return bytes;
}

// The exception that action throws; an empty one, and a failure, when it throws none.
template <typename Action>
QX::Exception Thrown(Action action) {
    try {
        action();
    } catch (const QX::Exception& exception) {
        return exception;
    }
    ADD_FAILURE() << "no exception";
    return QX::Exception(L"", 0, 0, L"");
}

// What action throws as (message, result), to compare whole.
template <typename Action>
std::pair<std::wstring, std::uint32_t> ThrownText(Action action) {
    const QX::Exception exception = Thrown(action);
    return {exception.message, exception.hResult};
}

}  // namespace QXTest
