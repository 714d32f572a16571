#include "qxnet/common/QXMemoryStream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "qxnet/platform/QXSync.h"

namespace {

constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kNoMoreItems = 259;
constexpr std::uint32_t kChunk = QX::CMemoryStream::ChunkSize;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 8));
    }
    return bytes;
}

// Counts the chunks it allocates and frees; fails an allocation once failAfter more have passed
// (negative: never). It clears in its destructor, as derived allocators must.
class CountingStream : public QX::CMemoryStream {
public:
    ~CountingStream() override { Clear(); }
    int allocated = 0;
    int freed = 0;
    int failAfter = -1;

protected:
    unsigned char* AllocChunk() override {
        if (failAfter == 0) {
            throw std::bad_alloc();
        }
        failAfter -= failAfter > 0 ? 1 : 0;
        ++allocated;
        return QX::CMemoryStream::AllocChunk();
    }
    void FreeChunk(unsigned char* chunk) override {
        freed += chunk != nullptr ? 1 : 0;
        QX::CMemoryStream::FreeChunk(chunk);
    }
};

// Refused arguments; the empty stream has "no more items". A full chunk is followed by an empty
// one; a chunk is freed once read, the empty last one too, so the next write starts afresh.
TEST(MemoryStream, RefusedArgumentsAndTheChunkRule) {
    CountingStream stream;
    unsigned char byte = 1;
    EXPECT_EQ(stream.Write(nullptr, 4), -1);
    EXPECT_EQ(QX::GetLastErrorValue(), kInvalidParameter);
    EXPECT_EQ(stream.Write(&byte, 0), -1);
    EXPECT_EQ(stream.Read(nullptr, 4), -1);
    EXPECT_EQ(stream.Read(&byte, 0), -1);
    EXPECT_EQ(stream.ReadTo(nullptr, 4), -1);
    EXPECT_EQ(QX::GetLastErrorValue(), kInvalidParameter);
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), kNoMoreItems);
    QX::CMemoryStream other;
    EXPECT_EQ(stream.ReadTo(&other, 4), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), kNoMoreItems);
    QX::SetLastErrorValue(1234);
    EXPECT_EQ(stream.Skip(10), 0u);
    EXPECT_EQ(QX::GetLastErrorValue(), 1234u) << "Skip leaves the last error alone";

    auto data = Pattern(kChunk);
    EXPECT_EQ(stream.Write(data.data(), kChunk), static_cast<int>(kChunk));
    EXPECT_EQ(stream.ChunkCount(), 2u);
    std::vector<std::uint8_t> back(kChunk);
    EXPECT_EQ(stream.Read(back.data(), kChunk), static_cast<int>(kChunk));
    EXPECT_EQ(back, data);
    EXPECT_EQ(stream.ChunkCount(), 1u);
    EXPECT_EQ(stream.freed, 1);
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 0u);
    EXPECT_EQ(stream.freed, 2);
    const unsigned char more[3] = {7, 8, 9};
    EXPECT_EQ(stream.Write(more, 3), 3);
    EXPECT_EQ(stream.allocated, 3);
    // A partly read chunk stays listed: "nothing now", not "no more items".
    EXPECT_EQ(stream.Read(back.data(), 10), 3);
    EXPECT_EQ(stream.Read(back.data(), 10), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);

    EXPECT_EQ(stream.Write(data.data(), kChunk), static_cast<int>(kChunk));
    stream.Clear();
    EXPECT_EQ(stream.ChunkCount(), 0u);
    EXPECT_EQ(stream.freed, stream.allocated);
}

// Requests for more than is held, "all of it" (0xFFFFFFFF or, to Skip, 0) and values near it
// included, get exactly what is held, whatever the read position.
TEST(MemoryStream, RequestsBeyondWhatIsHeldGetWhatIsHeld) {
    enum class Op { Read, Skip, ReadTo };
    const struct {
        std::uint32_t written, skippedFirst;
        Op op;
        std::uint32_t count, expected;
    } cases[] = {
        {10, 5, Op::Read, 0xFFFFFFFFu, 5},
        {10, 5, Op::Skip, 0xFFFFFFFFu, 5},
        {10, 5, Op::Read, 0x80000000u, 5},
        {30000, 29000, Op::Skip, 0xFFFFFFFFu - 28000u, 1000},
        {30000, 29000, Op::Read, 0xFFFFFFFFu - 28000u, 1000},
        {70000, 29000, Op::ReadTo, 0xFFFFFFFFu, 41000},
        {40000, 100, Op::Skip, 0, 39900},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.written << " " << c.skippedFirst << " " << c.count);
        QX::CMemoryStream stream;
        auto data = Pattern(c.written, 7);
        ASSERT_EQ(stream.Write(data.data(), c.written), static_cast<int>(c.written));
        ASSERT_EQ(stream.Skip(c.skippedFirst), c.skippedFirst);
        // Room for twice what a wrong count could copy, so a failure shows as a wrong result.
        std::vector<std::uint8_t> back(c.expected + 2 * kChunk, 0xEE);
        QX::CMemoryStream destination;
        std::int64_t got = c.op == Op::Read   ? stream.Read(back.data(), c.count)
                           : c.op == Op::Skip ? stream.Skip(c.count)
                                              : stream.ReadTo(&destination, c.count);
        if (c.op == Op::ReadTo) {
            EXPECT_EQ(destination.GetSize(), c.expected);
            destination.Read(back.data(), static_cast<std::uint32_t>(back.size()));
        }
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(QX::GetLastErrorValue(), 0u);
        EXPECT_EQ(stream.GetSize(), 0u);
        if (c.op != Op::Skip) {
            EXPECT_TRUE(std::equal(data.begin() + c.skippedFirst, data.end(), back.begin()));
            EXPECT_EQ(back[c.expected], 0xEE);
        }
        // The stream is still whole.
        EXPECT_EQ(stream.Write("abc", 3), 3);
        EXPECT_EQ(stream.GetSize(), 3u);
    }
}

// A throwing chunk allocation leaves the stream as before the write, every chunk accounted for.
TEST(MemoryStream, FailedChunkAllocationLeavesTheStreamAsItWas) {
    const struct {
        std::uint32_t before;   // bytes written before the failing write
        int allowed;            // allocations that succeed within the failing write
        std::uint32_t failing;  // size of the failing write
    } cases[] = {{32767, 0, 1}, {10, 0, 32758}, {10, 1, 100000}, {0, 0, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << " " << c.failing);
        CountingStream stream;
        auto data = Pattern(c.before + 3, 11);
        if (c.before != 0) {
            ASSERT_EQ(stream.Write(data.data(), c.before), static_cast<int>(c.before));
        }
        const std::uint32_t chunks = stream.ChunkCount();
        stream.failAfter = c.allowed;
        std::vector<std::uint8_t> lost(c.failing, 0x77);
        EXPECT_THROW(stream.Write(lost.data(), c.failing), std::bad_alloc);
        EXPECT_EQ(stream.GetSize(), c.before);
        EXPECT_EQ(stream.ChunkCount(), chunks);
        EXPECT_EQ(stream.allocated - stream.freed, static_cast<int>(chunks));
        stream.failAfter = -1;
        ASSERT_EQ(stream.Write("XYZ", 3), 3);
        std::copy_n("XYZ", 3, data.begin() + c.before);
        std::vector<std::uint8_t> back(c.before + 3);
        EXPECT_EQ(stream.Read(back.data(), static_cast<std::uint32_t>(back.size()) + 10),
                  static_cast<int>(back.size()));
        EXPECT_EQ(back, data);
    }
}

}  // namespace
