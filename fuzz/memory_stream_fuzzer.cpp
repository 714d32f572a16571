// Runs arbitrary sequences of stream operations against a model and traps on any difference, so
// memory safety, the byte order, the counts and the chunk rules are all checked.
//
// Each operation takes five bytes: the operation, then a 32-bit count drawn as small, anywhere
// in the 32-bit range, near its top (0xFFFFFFFF and below) or near a chunk boundary. The bytes
// written are a running counter, so the model needs only two totals and every check is a memcmp
// against one pattern: the harness does no per-byte work of its own.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "qxnet/common/QXMemoryStream.h"
#include "qxnet/platform/QXSync.h"

namespace {

constexpr std::uint32_t kChunk = QX::CMemoryStream::ChunkSize;
constexpr std::uint32_t kMaxWrite = 3 * kChunk + 100;
constexpr std::uint64_t kMaxHeld = 64 * kChunk;

// Byte i of everything ever written is i modulo 256; pattern + (i & 0xFF) starts such a run.
const std::uint8_t* Pattern() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b(kMaxHeld + 256);
        for (std::size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<std::uint8_t>(i);
        }
        return b;
    }();
    return bytes.data();
}

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// Fails the next chunk allocations on demand; clears in its destructor, as the header asks of
// a class that overrides the chunk pair.
class Stream : public QX::CMemoryStream {
public:
    ~Stream() override { Clear(); }
    bool failNext = false;

protected:
    unsigned char* AllocChunk() override {
        if (failNext) {
            failNext = false;
            throw std::bad_alloc();
        }
        return CMemoryStream::AllocChunk();
    }
};

// The destination of ReadTo: checks each piece against the model as it arrives.
class Sink : public QXSDK::IStream {
public:
    explicit Sink(std::uint64_t first) : m_next(first) {}
    std::int32_t Write(const void* data, std::uint32_t size) override {
        Check(size != 0 && size <= kChunk);
        Check(std::memcmp(data, Pattern() + (m_next & 0xFF), size) == 0);
        m_next += size;
        received += size;
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return 0; }
    std::uint64_t received = 0;

private:
    std::uint64_t m_next;
};

std::uint32_t Count(std::uint8_t kind, std::uint32_t raw) {
    switch (kind % 4) {
        case 0:
            return raw % kMaxWrite;
        case 1:
            return raw;
        case 2:
            return 0xFFFFFFFFu - raw % 0x10000;
        default:
            return (raw % 8) * kChunk + (raw >> 3) % 16 - 8;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Stream stream;
    // The model: bytes ever written and ever consumed since the stream was last cleared.
    std::uint64_t written = 0;
    std::uint64_t consumed = 0;
    for (std::size_t i = 0; i + 4 < size; i += 5) {
        const std::uint8_t op = data[i];
        std::uint32_t raw = 0;
        std::memcpy(&raw, data + i + 1, 4);
        const std::uint32_t amount = Count(op / 8, raw);
        const std::uint64_t held = written - consumed;
        switch (op % 8) {
            case 0:
            case 1: {
                // Writes stay small enough to keep memory bounded.
                const auto n = static_cast<std::uint32_t>(
                    amount % kMaxWrite < kMaxHeld - held ? amount % kMaxWrite : kMaxHeld - held);
                const std::int32_t r = stream.Write(Pattern() + (written & 0xFF), n);
                Check(r == (n == 0 ? -1 : static_cast<std::int32_t>(n)));
                Check(QX::GetLastErrorValue() == (n == 0 ? 87u : 0u));
                written += n;
                break;
            }
            case 2: {
                const std::uint64_t expect = amount < held ? amount : held;
                const bool listed = stream.ChunkCount() != 0;
                // Exactly as large as what may be copied: anything more lands in a red zone.
                std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[expect]);
                const std::int32_t r = stream.Read(buffer.get(), amount);
                if (amount == 0) {
                    Check(r == -1 && QX::GetLastErrorValue() == 87);
                    break;
                }
                Check(r == static_cast<std::int32_t>(expect));
                Check(QX::GetLastErrorValue() == (listed ? 0u : 259u));
                Check(std::memcmp(buffer.get(), Pattern() + (consumed & 0xFF), expect) == 0);
                consumed += expect;
                break;
            }
            case 3: {
                const std::uint64_t expect = amount == 0 || amount > held ? held : amount;
                const bool listed = stream.ChunkCount() != 0;
                QX::SetLastErrorValue(1234);
                const std::uint32_t skipped = stream.Skip(amount);
                Check(skipped == expect);
                Check(QX::GetLastErrorValue() == (listed ? 0u : 1234u));
                consumed += expect;
                break;
            }
            case 4: {
                const std::uint64_t expect = amount < held ? amount : held;
                const bool listed = stream.ChunkCount() != 0;
                Sink sink(consumed);
                const std::int32_t moved = stream.ReadTo(&sink, amount);
                if (amount == 0) {
                    Check(moved == -1 && QX::GetLastErrorValue() == 87);
                    break;
                }
                Check(moved == static_cast<std::int32_t>(expect) && sink.received == expect);
                Check(QX::GetLastErrorValue() == (listed ? 0u : 259u));
                consumed += expect;
                break;
            }
            case 5: {
                // The next chunk allocation fails: a write that needs one changes nothing.
                stream.failNext = true;
                const auto n = static_cast<std::uint32_t>(
                    amount % kMaxWrite < kMaxHeld - held ? amount % kMaxWrite : kMaxHeld - held);
                try {
                    if (stream.Write(Pattern() + (written & 0xFF), n) > 0) {
                        written += n;
                    }
                } catch (const std::bad_alloc&) {
                }
                stream.failNext = false;
                break;
            }
            case 6: {
                // Takes back what was written after the first amount bytes held.
                QX::SetLastErrorValue(1234);
                stream.Truncate(amount);
                Check(QX::GetLastErrorValue() == 1234);
                written = consumed + (amount < held ? amount : held);
                break;
            }
            default:
                stream.Clear();
                written = 0;
                consumed = 0;
                break;
        }
        const std::uint64_t now = written - consumed;
        Check(stream.GetSize() == now);
        // Unread data runs from the read position (consumed modulo the chunk size, since the
        // positions restart only at 0) to the write position, and a chunk that fills is followed
        // at once by an empty one. Reading the last byte at a boundary frees that empty chunk.
        const std::uint32_t chunks = stream.ChunkCount();
        const std::uint64_t expected = (consumed % kChunk + now) / kChunk + 1;
        Check(chunks == expected || (chunks == 0 && now == 0 && consumed % kChunk == 0));
    }
    return 0;
}
