#pragma once

// Opens TFTPClient's protected members to the tests, with the helpers they share.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXStream.h"
#include "qxnet/platform/QXUtf8.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "tests/support/QXTraceCapture.h"

namespace QXTest {

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
inline std::vector<std::uint8_t> CameraAnswer(std::uint64_t mac, std::uint32_t ip,
                                              std::uint16_t fwVer, std::uint16_t model,
                                              std::uint8_t byte36, std::size_t size = 73) {
    std::vector<std::uint8_t> answer(size, 0);
    std::memcpy(answer.data(), QXSDK::CameraData::AnswerTag, 21);
    answer[21] = 0x5A;
    for (int i = 0; i < 6; ++i) {
        answer[22 + i] = static_cast<std::uint8_t>(mac >> (8 * (5 - i)));
    }
    for (int i = 0; i < 4; ++i) {
        answer[28 + i] = static_cast<std::uint8_t>(ip >> (8 * (3 - i)));
    }
    answer[32] = static_cast<std::uint8_t>(fwVer >> 8);
    answer[33] = static_cast<std::uint8_t>(fwVer);
    answer[34] = static_cast<std::uint8_t>(model >> 8);
    answer[35] = static_cast<std::uint8_t>(model);
    answer[36] = byte36;
    for (std::size_t i = 37; i < 69 && i < size; ++i) {
        answer[i] = 0xA5;  // not read
    }
    return answer;
}

// A stream that keeps everything written to it.
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

// Trace lines that hold text.
inline int CountLines(TraceCapture& trace, const std::wstring& text) {
    int count = 0;
    for (const std::wstring& line : trace.Lines()) {
        count += line.find(text) != std::wstring::npos ? 1 : 0;
    }
    return count;
}

}  // namespace QXTest
