// The C interface's TFTP client and broadcast discovery.

#include <cstring>
#include <functional>
#include <set>

#include "qxnet/c/QXCCamera.h"
#include "qxnet/c/QXCHandle.h"
#include "qxnet/common/QXStream.h"
#include "qxnet/tftp/QXTFTPClient.h"

using QX::C::Call;
namespace Code = QX::ResultCode;

struct qxnet_tftp : QX::C::Handle {
    qxnet_tftp(boost::shared_ptr<QX::CodeLock> lock, std::uint32_t local, bool doublePackets,
               int retries)
        : client(std::move(lock), local, doublePackets, retries, 0, 0) {}
    QXSDK::TFTPClient client;
};

namespace {

// Hands the file's bytes to a sink as the client delivers them; a sink that refuses ends the
// transfer (the client sees a failed write).
class SinkStream : public QXSDK::IStream {
public:
    explicit SinkStream(std::function<bool(const std::uint8_t*, std::uint32_t)> sink)
        : m_sink(std::move(sink)) {}
    std::int32_t Write(const void* data, std::uint32_t size) override {
        if (m_refused || !m_sink(static_cast<const std::uint8_t*>(data), size)) {
            m_refused = true;
            return -1;
        }
        m_total += size;
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return -1; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(m_total); }
    bool Refused() const { return m_refused; }
    std::uint64_t Total() const { return m_total; }

private:
    std::function<bool(const std::uint8_t*, std::uint32_t)> m_sink;
    std::uint64_t m_total = 0;
    bool m_refused = false;
};

// One read through the client: the full blocks through the stream, the short last block into a
// tail buffer that then goes the same way.
qxnet_result ReadThrough(qxnet_tftp* handle, const char* fileName, SinkStream& stream,
                         qxnet_progress_callback progress, void* context) {
    unsigned char tail[2 * QXSDK::TFTPClient::BatchDatagramSize];
    std::uint32_t tailLength = sizeof tail;
    handle->client.SetProgressCallback(progress, context);
    int result = 0;
    try {
        result = handle->client.Read(fileName, &stream, tail, &tailLength, nullptr);
    } catch (...) {
        handle->client.SetProgressCallback(nullptr, nullptr);
        throw;
    }
    handle->client.SetProgressCallback(nullptr, nullptr);
    if (result == 0 && tailLength > 0 && stream.Write(tail, tailLength) < 0) {
        result = static_cast<int>(Code::Unexpected);
    }
    if (stream.Refused()) {
        handle->SetError("the write callback refused the data");
        return Code::Unexpected;
    }
    if (result != 0) {
        handle->SetError(QX::ToUtf8(handle->client.GetError()));
    }
    return static_cast<qxnet_result>(result);
}

}  // namespace

extern "C" {

qxnet_result qxnet_tftp_create(qxnet_lock* lock, uint32_t local_address, int32_t double_packets,
                               int32_t retries, qxnet_tftp** client) {
    return QX::C::Create(client, true, [&](qxnet_tftp*& made) {
        if (retries < 1) {
            return Code::ParameterOutOfRange;
        }
        made = new qxnet_tftp(QX::C::LockOf(lock), local_address, double_packets != 0, retries);
        return Code::Success;
    });
}

qxnet_result qxnet_tftp_destroy(qxnet_tftp* client) {
    return QX::C::Destroy(client);
}

qxnet_result qxnet_tftp_open(qxnet_tftp* client, uint32_t address, uint16_t port) {
    return Call(client, [&] {
        client->client.Open(address, port);
        return Code::Success;
    });
}

qxnet_result qxnet_tftp_close(qxnet_tftp* client) {
    return Call(client, [&] {
        client->client.Close();
        return Code::Success;
    });
}

qxnet_result qxnet_tftp_discover(qxnet_tftp* client, const uint8_t* request, uint32_t length,
                                 qxnet_camera_callback callback, void* context) {
    return Call(client, callback != nullptr && (request != nullptr || length == 0), [&] {
        static const unsigned char defaultRequest[] = "qx-discover";
        if (request == nullptr || length == 0) {
            request = defaultRequest;
            length = sizeof defaultRequest - 1;
        }
        std::set<QXSDK::CameraData> cameras;
        const int result = client->client.Broadcast(request, length, &cameras);
        if (cameras.empty()) {
            client->SetError("no camera answered");
            return result != 0 ? static_cast<qxnet_result>(result) : Code::ObjectNotFound;
        }
        for (const QXSDK::CameraData& camera : cameras) {
            qxnet_camera record;
            QX::C::ToC(camera, record);
            if (callback(&record, context) != 0) {
                break;
            }
        }
        return Code::Success;
    });
}

qxnet_result qxnet_tftp_read(qxnet_tftp* client, const char* file_name, uint8_t* buffer,
                             uint64_t size, uint64_t* length, qxnet_progress_callback progress,
                             void* context) {
    const bool given =
        file_name != nullptr && length != nullptr && (buffer != nullptr || size == 0);
    return Call(client, given, [&] {
        *length = 0;
        // The whole file is received even when it overflows, so that its size can be told.
        SinkStream stream([&](const std::uint8_t* data, std::uint32_t count) {
            if (*length + count <= size) {
                std::memcpy(buffer + *length, data, count);
            }
            *length += count;
            return true;
        });
        const qxnet_result result = ReadThrough(client, file_name, stream, progress, context);
        if (result == Code::Success && *length > size) {
            client->SetError("the file is larger than the buffer");
            return Code::BufferTooSmall;
        }
        return result;
    });
}

qxnet_result qxnet_tftp_read_to(qxnet_tftp* client, const char* file_name,
                                qxnet_write_callback write, qxnet_progress_callback progress,
                                void* context, uint64_t* length) {
    return Call(client, file_name != nullptr && write != nullptr, [&] {
        if (length != nullptr) {
            *length = 0;
        }
        SinkStream stream([&](const std::uint8_t* data, std::uint32_t count) {
            return write(data, count, context) == 0;
        });
        const qxnet_result result = ReadThrough(client, file_name, stream, progress, context);
        if (length != nullptr) {
            *length = stream.Total();
        }
        return result;
    });
}

qxnet_result qxnet_tftp_write(qxnet_tftp* client, const char* file_name) {
    return Call(client, file_name != nullptr, [&] {
        client->client.Write(file_name);
        return Code::Success;
    });
}

qxnet_result qxnet_tftp_last_error(qxnet_tftp* client, char* text, uint32_t size,
                                   uint32_t* needed) {
    return QX::C::LastError(client, text, size, needed);
}

}  // extern "C"
