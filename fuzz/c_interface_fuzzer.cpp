// Arbitrary call sequences through the C interface's TFTP client, text and table functions, on
// the scripted sockets. Input: a stream of operations, each one byte (its value modulo the
// operation count) followed by the bytes it reads. Whatever the sequence, no call may crash or
// leak, and the size rules of text and buffers must hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qxnet/c/qxnet.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "tests/support/QXScriptedSockets.h"

namespace {

constexpr std::uint32_t kCamera = 0x0A000007;
constexpr std::uint32_t kAddresses[] = {kCamera, 0x0A0000FF, 0x7FFFFFFF, 0};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
    // Up to length bytes (fewer at the end).
    std::vector<std::uint8_t> Bytes(std::size_t length) {
        const std::size_t take = length < m_size - m_at ? length : m_size - m_at;
        std::vector<std::uint8_t> bytes(m_data + m_at, m_data + m_at + take);
        m_at += take;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// The size rules of every text out: a success fits and is terminated, a refusal tells more.
void CheckText(qxnet_result result, const char* text, std::uint32_t size, std::uint32_t needed) {
    if (result == QXNET_OK && (needed > size || std::strlen(text) + 1 != needed)) {
        __builtin_trap();
    }
    if (result == QXNET_E_BUFFER_TOO_SMALL && needed <= size) {
        __builtin_trap();
    }
}

struct Budget {
    std::uint64_t left;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = (QX::DebugSink::Set(&QX::DebugSink::Silent()), true);
    (void)silenced;
    QX::ScriptedSocketBackend script;
    script.Install();
    Input in(data, size);
    qxnet_lock* lock = nullptr;
    qxnet_lock_create(&lock);
    qxnet_tftp* client = nullptr;
    std::vector<std::uint8_t> buffer(4096);
    char text[256];
    for (int steps = 0; !in.Empty() && steps < 64; ++steps) {
        switch (in.Byte() % 12) {
            case 0:
                if (client == nullptr) {
                    const std::uint8_t flags = in.Byte();
                    qxnet_tftp_create((flags & 1) != 0 ? lock : nullptr, 0, (flags >> 1) & 1,
                                      (flags >> 2) % 4, &client);
                }
                break;
            case 1:
                qxnet_tftp_destroy(client);
                client = nullptr;
                break;
            case 2:
                qxnet_tftp_open(client, kAddresses[in.Byte() % 4], in.Word());
                break;
            case 3: {
                const std::uint16_t port = in.Word();
                const std::vector<std::uint8_t> datagram = in.Bytes(in.Word() % 3000);
                script.Push(datagram, QX::MakeSocketAddress(kCamera, port));
                break;
            }
            case 4: {
                const std::vector<std::uint8_t> request = in.Bytes(in.Byte() % 16);
                std::uint32_t stopAfter = in.Byte();
                qxnet_tftp_discover(
                    client, request.empty() ? nullptr : request.data(),
                    static_cast<std::uint32_t>(request.size()),
                    [](const qxnet_camera* camera, void* context) {
                        if (camera == nullptr || camera->size != sizeof *camera) {
                            __builtin_trap();
                        }
                        auto* left = static_cast<std::uint32_t*>(context);
                        return int32_t{(*left)-- == 0 ? 1 : 0};
                    },
                    &stopAfter);
                break;
            }
            case 5: {
                const std::uint64_t capacity = in.Word() % (buffer.size() + 1);
                std::uint64_t length = 0;
                const qxnet_result result =
                    qxnet_tftp_read(client, "f.bin", capacity == 0 ? nullptr : buffer.data(),
                                    capacity, &length, nullptr, nullptr);
                if ((result == QXNET_OK && length > capacity) ||
                    (result == QXNET_E_BUFFER_TOO_SMALL && length <= capacity)) {
                    __builtin_trap();
                }
                break;
            }
            case 6: {
                Budget budget{in.Word()};
                std::uint64_t length = 0;
                qxnet_tftp_read_to(
                    client, "f.bin",
                    [](const std::uint8_t* bytes, std::uint32_t count, void* context) {
                        if (bytes == nullptr && count != 0) {
                            __builtin_trap();
                        }
                        auto* left = static_cast<Budget*>(context);
                        if (count > left->left) {
                            return int32_t{1};
                        }
                        left->left -= count;
                        return int32_t{0};
                    },
                    [](std::uint32_t, std::uint64_t, void*) {}, &budget, &length);
                break;
            }
            case 7:
                qxnet_tftp_write(client, "w.bin");
                break;
            case 8:
                qxnet_tftp_close(client);
                break;
            case 9: {
                const std::uint32_t capacity = in.Byte() % (sizeof text + 1);
                std::uint32_t needed = 0;
                const qxnet_result result = qxnet_tftp_last_error(
                    client, capacity == 0 ? nullptr : text, capacity, &needed);
                if (client != nullptr) {
                    CheckText(result, text, capacity, needed);
                }
                break;
            }
            case 10: {
                const std::uint32_t code = 0xF0000000u | in.Byte();
                const std::uint32_t capacity = in.Byte() % (sizeof text + 1);
                std::uint32_t needed = 0;
                // The call comes first: an argument list has no order of evaluation.
                const qxnet_result result =
                    qxnet_result_text(code, capacity == 0 ? nullptr : text, capacity, &needed);
                CheckText(result, text, capacity, needed);
                break;
            }
            case 11: {
                const std::uint8_t which = in.Byte();
                const int error = (which & 0x80) != 0 ? 0 : 10055;
                switch (which % 3) {
                    case 0:
                        script.FailCreate(error);
                        break;
                    case 1:
                        script.FailSend(error);
                        break;
                    default:
                        script.FailBind(error);
                        break;
                }
                break;
            }
        }
    }
    qxnet_tftp_destroy(client);
    qxnet_lock_destroy(lock);
    return 0;
}
