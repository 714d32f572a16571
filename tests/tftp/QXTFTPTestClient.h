#pragma once

// Opens the protected operations and fields of TFTPClient to the tests, with the small helpers
// their assertions share.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXStream.h"
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

inline std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        out.push_back(static_cast<char>(*text));
    }
    return out;
}

}  // namespace QXTest
