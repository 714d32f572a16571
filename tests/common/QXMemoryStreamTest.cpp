#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "qxnet/common/QXMemoryStream.h"
#include "qxnet/platform/QXSync.h"

namespace {

constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kNoMoreItems = 259;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 8));
    }
    return bytes;
}

struct ChunkCounts {
    int allocated = 0;
    int freed = 0;
    // Allocations still allowed before one throws; negative: never.
    int failAfter = -1;
};

// Counts the chunks it allocates and frees, so the chunk rules can be checked directly, and
// fails an allocation on demand. It follows the header's rule for derived allocators: Clear in
// the destructor.
class CountingStream : public QX::CMemoryStream {
public:
    explicit CountingStream(ChunkCounts& counts) : counts(counts) {}
    ~CountingStream() override { Clear(); }
    ChunkCounts& counts;

protected:
    unsigned char* AllocChunk() override {
        if (counts.failAfter == 0) {
            throw std::bad_alloc();
        }
        if (counts.failAfter > 0) {
            --counts.failAfter;
        }
        ++counts.allocated;
        return QX::CMemoryStream::AllocChunk();
    }
    void FreeChunk(unsigned char* chunk) override {
        if (chunk != nullptr) {
            ++counts.freed;
        }
        QX::CMemoryStream::FreeChunk(chunk);
    }
};

TEST(MemoryStream, RefusesNullAndEmptyArguments) {
    QX::CMemoryStream stream;
    unsigned char byte = 1;
    QX::SetLastErrorValue(0);
    EXPECT_EQ(stream.Write(nullptr, 4), -1);
    EXPECT_EQ(QX::GetLastErrorValue(), kInvalidParameter);
    EXPECT_EQ(stream.Write(&byte, 0), -1);
    EXPECT_EQ(stream.Read(nullptr, 4), -1);
    EXPECT_EQ(QX::GetLastErrorValue(), kInvalidParameter);
    EXPECT_EQ(stream.Read(&byte, 0), -1);
    EXPECT_EQ(stream.ReadTo(nullptr, 4), -1);
    EXPECT_EQ(QX::GetLastErrorValue(), kInvalidParameter);
    EXPECT_EQ(stream.ChunkCount(), 0u);
}

TEST(MemoryStream, EmptyStreamSaysNoMoreItems) {
    QX::CMemoryStream stream;
    unsigned char buffer[4];
    EXPECT_EQ(stream.Read(buffer, 4), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), kNoMoreItems);
    QX::CMemoryStream other;
    EXPECT_EQ(stream.ReadTo(&other, 4), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), kNoMoreItems);
    QX::SetLastErrorValue(1234);
    EXPECT_EQ(stream.Skip(10), 0u);
    EXPECT_EQ(QX::GetLastErrorValue(), 1234u) << "Skip leaves the last error alone";
}

TEST(MemoryStream, FullChunkIsFollowedByAnEmptyOneAndFreedWhenRead) {
    ChunkCounts counts;
    CountingStream stream(counts);
    auto data = Pattern(32768);
    EXPECT_EQ(stream.Write(data.data(), 32768), 32768);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 2u);
    EXPECT_EQ(stream.GetSize(), 32768u);

    std::vector<std::uint8_t> back(32768);
    EXPECT_EQ(stream.Read(back.data(), 32768), 32768);
    EXPECT_EQ(back, data);
    EXPECT_EQ(stream.ChunkCount(), 1u);
    EXPECT_EQ(counts.freed, 1);
    EXPECT_EQ(stream.GetSize(), 0u);

    // Reading at the boundary frees the empty last chunk; the next write starts afresh.
    unsigned char byte;
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 0u);
    EXPECT_EQ(counts.freed, 2);
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), kNoMoreItems);

    const unsigned char more[3] = {7, 8, 9};
    EXPECT_EQ(stream.Write(more, 3), 3);
    EXPECT_EQ(counts.allocated, 3);
    unsigned char three[3] = {};
    EXPECT_EQ(stream.Read(three, 3), 3);
    EXPECT_EQ(three[2], 9);
}

TEST(MemoryStream, ShortReadReturnsWhatIsHeld) {
    QX::CMemoryStream stream;
    auto data = Pattern(10);
    stream.Write(data.data(), 10);
    unsigned char buffer[20] = {};
    EXPECT_EQ(stream.Read(buffer, 20), 10);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
    // The partly read chunk is still listed, so this is "nothing now", not "no more items".
    EXPECT_EQ(stream.Read(buffer, 20), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
}

TEST(MemoryStream, PartialReadsAcrossChunkBoundaries) {
    QX::CMemoryStream stream;
    auto data = Pattern(100000, 3);
    ASSERT_EQ(stream.Write(data.data(), 100000), 100000);
    EXPECT_EQ(stream.ChunkCount(), 4u) << "three full chunks and one holding 1696 bytes";
    std::vector<std::uint8_t> back;
    std::vector<std::uint8_t> piece(1454);
    int n;
    while ((n = stream.Read(piece.data(), static_cast<std::uint32_t>(piece.size()))) > 0) {
        back.insert(back.end(), piece.begin(), piece.begin() + n);
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(stream.GetSize(), 0u);
}

TEST(MemoryStream, ManySmallWritesReadBackInOrder) {
    QX::CMemoryStream stream;
    auto data = Pattern(70000, 9);
    for (std::size_t at = 0; at < data.size(); at += 2908) {
        auto n = static_cast<std::uint32_t>(std::min<std::size_t>(2908, data.size() - at));
        ASSERT_EQ(stream.Write(data.data() + at, n), static_cast<int>(n));
    }
    std::vector<std::uint8_t> back(data.size());
    EXPECT_EQ(stream.Read(back.data(), static_cast<std::uint32_t>(back.size())),
              static_cast<int>(data.size()));
    EXPECT_EQ(back, data);
}

TEST(MemoryStream, SkipZeroDiscardsEverything) {
    ChunkCounts counts;
    CountingStream stream(counts);
    auto data = Pattern(40000);
    stream.Write(data.data(), 40000);
    EXPECT_EQ(stream.Skip(0), 40000u);
    EXPECT_EQ(stream.GetSize(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 1u);
    EXPECT_EQ(counts.freed, 1);
}

TEST(MemoryStream, SkipPartThenReadTheRest) {
    QX::CMemoryStream stream;
    auto data = Pattern(50000);
    stream.Write(data.data(), 50000);
    EXPECT_EQ(stream.Skip(33000), 33000u);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    std::vector<std::uint8_t> back(17000);
    EXPECT_EQ(stream.Read(back.data(), 17000), 17000);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 33000));
}

TEST(MemoryStream, ClearLeavesANewStream) {
    ChunkCounts counts;
    CountingStream stream(counts);
    auto data = Pattern(70000);
    stream.Write(data.data(), 70000);
    unsigned char some[100];
    stream.Read(some, 100);
    stream.Clear();
    EXPECT_EQ(stream.GetSize(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 0u);
    EXPECT_EQ(counts.freed, counts.allocated);
    const unsigned char abc[3] = {'a', 'b', 'c'};
    EXPECT_EQ(stream.Write(abc, 3), 3);
    unsigned char back[3];
    EXPECT_EQ(stream.Read(back, 3), 3);
    EXPECT_EQ(back[0], 'a');
}

TEST(MemoryStream, ReadToMovesBytesInOrder) {
    QX::CMemoryStream source;
    QX::CMemoryStream destination;
    auto data = Pattern(80000, 5);
    source.Write(data.data(), 80000);
    EXPECT_EQ(source.ReadTo(&destination, 80000), 80000);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    EXPECT_EQ(source.GetSize(), 0u);
    EXPECT_EQ(destination.GetSize(), 80000u);
    std::vector<std::uint8_t> back(80000);
    EXPECT_EQ(destination.Read(back.data(), 80000), 80000);
    EXPECT_EQ(back, data);
}

TEST(MemoryStream, DerivedAllocatorGetsBackEveryChunkAtDestruction) {
    ChunkCounts counts;
    {
        CountingStream stream(counts);
        auto data = Pattern(40000);
        stream.Write(data.data(), 40000);
        EXPECT_EQ(counts.allocated, 2);
    }
    EXPECT_EQ(counts.freed, 2);
}

// Requests for more than is held, "all of it" (0xFFFFFFFF) and values near it included, get
// exactly what is held, whatever the read position.
TEST(MemoryStream, RequestsBeyondWhatIsHeldGetWhatIsHeld) {
    enum class Op { Read, Skip, ReadTo };
    struct Case {
        const char* name;
        std::uint32_t written;
        std::uint32_t skippedFirst;
        Op op;
        std::uint32_t count;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"read all after a partial read", 10, 5, Op::Read, 0xFFFFFFFFu, 5},
        {"skip all after a partial read", 10, 5, Op::Skip, 0xFFFFFFFFu, 5},
        {"move all after a partial read", 10, 5, Op::ReadTo, 0xFFFFFFFFu, 5},
        {"read near the top", 10, 5, Op::Read, 0xFFFFFFFBu, 5},
        {"skip near the top at 29000", 30000, 29000, Op::Skip, 0xFFFFFFFFu - 28000u, 1000},
        {"read near the top at 29000", 30000, 29000, Op::Read, 0xFFFFFFFFu - 28000u, 1000},
        {"read all across chunks", 70000, 29000, Op::Read, 0xFFFFFFFFu, 41000},
        {"move all across chunks", 70000, 29000, Op::ReadTo, 0xFFFFFFFFu, 41000},
        {"read half the range", 10, 5, Op::Read, 0x80000000u, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QX::CMemoryStream stream;
        auto data = Pattern(c.written, 7);
        ASSERT_EQ(stream.Write(data.data(), c.written), static_cast<int>(c.written));
        ASSERT_EQ(stream.Skip(c.skippedFirst), c.skippedFirst);
        // Room for twice what a wrong count could copy from the front chunk, so a failure shows
        // as a wrong result rather than as a corrupted heap.
        std::vector<std::uint8_t> back(c.expected + 2 * QX::CMemoryStream::ChunkSize, 0xEE);
        QX::CMemoryStream destination;
        std::int64_t got = 0;
        switch (c.op) {
            case Op::Read:
                got = stream.Read(back.data(), c.count);
                break;
            case Op::Skip:
                got = stream.Skip(c.count);
                break;
            case Op::ReadTo:
                got = stream.ReadTo(&destination, c.count);
                EXPECT_EQ(destination.GetSize(), c.expected);
                destination.Read(back.data(), static_cast<std::uint32_t>(back.size()));
                break;
        }
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(QX::GetLastErrorValue(), 0u);
        EXPECT_EQ(stream.GetSize(), 0u);
        if (c.op != Op::Skip) {
            EXPECT_TRUE(std::equal(data.begin() + c.skippedFirst, data.end(), back.begin()));
            EXPECT_EQ(back[c.expected], 0xEE);
        }
        // The stream is still whole: a later write reads back as written.
        const unsigned char abc[3] = {'a', 'b', 'c'};
        EXPECT_EQ(stream.Write(abc, 3), 3);
        unsigned char three[4] = {};
        EXPECT_EQ(stream.Read(three, 4), 3);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(three), 3), "abc");
        EXPECT_EQ(stream.GetSize(), 0u);
    }
}

// Truncating leaves the stream exactly as a twin that was only ever given the kept bytes: the
// same size, chunks and last-error behaviour, with every dropped chunk freed, and later writes
// and reads carry on from the cut.
TEST(MemoryStream, TruncateLeavesTheStreamAsIfTheDroppedBytesWereNeverWritten) {
    struct Case {
        const char* name;
        std::uint32_t consumed;  // read before the write, out of a first write of this much
        std::uint32_t written;   // then written
        std::uint32_t keep;      // bytes held that Truncate keeps
    };
    const Case cases[] = {
        {"within one chunk", 0, 100, 40},
        {"back to the start of an empty back chunk", 0, 32768, 32768},
        {"across two chunk boundaries", 0, 100000, 30000},
        {"to nothing, fresh stream", 0, 70000, 0},
        {"after a read, across a boundary", 32000, 5000, 100},
        {"after a read, to nothing", 32000, 5000, 0},
        {"to exactly a chunk boundary after a read", 100, 70000, 32668},
        {"keeping more than is held changes nothing", 0, 500, 501},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChunkCounts counts;
        CountingStream stream(counts);
        QX::CMemoryStream twin;
        auto data = Pattern(c.consumed + c.written, 3);
        std::vector<std::uint8_t> scratch(c.consumed + 1);
        for (QX::CMemoryStream* s : {static_cast<QX::CMemoryStream*>(&stream), &twin}) {
            if (c.consumed != 0) {
                ASSERT_EQ(s->Write(data.data(), c.consumed), static_cast<int>(c.consumed));
                ASSERT_EQ(s->Read(scratch.data(), c.consumed), static_cast<int>(c.consumed));
            }
        }
        const std::uint32_t kept = std::min(c.keep, c.written);
        ASSERT_EQ(stream.Write(data.data() + c.consumed, c.written), static_cast<int>(c.written));
        if (kept != 0) {
            ASSERT_EQ(twin.Write(data.data() + c.consumed, kept), static_cast<int>(kept));
        }
        stream.Truncate(c.keep);
        EXPECT_EQ(stream.GetSize(), kept);
        EXPECT_EQ(stream.ChunkCount(), twin.ChunkCount());
        EXPECT_EQ(counts.allocated - counts.freed, static_cast<int>(stream.ChunkCount()));

        const unsigned char xyz[3] = {'X', 'Y', 'Z'};
        ASSERT_EQ(stream.Write(xyz, 3), 3);
        ASSERT_EQ(twin.Write(xyz, 3), 3);
        EXPECT_EQ(stream.ChunkCount(), twin.ChunkCount());
        std::vector<std::uint8_t> mine(kept + 3);
        std::vector<std::uint8_t> theirs(kept + 3);
        EXPECT_EQ(stream.Read(mine.data(), kept + 10), static_cast<int>(kept + 3));
        EXPECT_EQ(twin.Read(theirs.data(), kept + 10), static_cast<int>(kept + 3));
        EXPECT_EQ(mine, theirs);
        EXPECT_EQ(stream.Read(mine.data(), 1), twin.Read(theirs.data(), 1));
        EXPECT_EQ(stream.ChunkCount(), twin.ChunkCount());
    }
}

// A chunk allocation that throws leaves the stream holding exactly what it held, with every
// chunk accounted for, and the stream goes on as if the write had not been made.
TEST(MemoryStream, FailedChunkAllocationLeavesTheStreamAsItWas) {
    struct Case {
        const char* name;
        std::uint32_t before;   // bytes written before the failing write
        int allowed;            // allocations that succeed within the failing write
        std::uint32_t failing;  // size of the failing write
    };
    const Case cases[] = {
        {"fresh chunk behind a filling write", 32767, 0, 1},
        {"fresh chunk behind a write that ends on the boundary", 10, 0, 32758},
        {"second of three chunks of a long write", 10, 1, 100000},
        {"first chunk of an empty stream", 0, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChunkCounts counts;
        CountingStream stream(counts);
        auto data = Pattern(c.before + 3, 11);
        if (c.before != 0) {
            ASSERT_EQ(stream.Write(data.data(), c.before), static_cast<int>(c.before));
        }
        const std::uint32_t chunks = stream.ChunkCount();
        counts.failAfter = c.allowed;
        std::vector<std::uint8_t> lost(c.failing, 0x77);
        EXPECT_THROW(stream.Write(lost.data(), c.failing), std::bad_alloc);
        EXPECT_EQ(stream.GetSize(), c.before);
        EXPECT_EQ(stream.ChunkCount(), chunks);
        EXPECT_EQ(counts.allocated - counts.freed, static_cast<int>(chunks));

        counts.failAfter = -1;
        const unsigned char xyz[3] = {'X', 'Y', 'Z'};
        ASSERT_EQ(stream.Write(xyz, 3), 3);
        std::copy(xyz, xyz + 3, data.begin() + c.before);
        std::vector<std::uint8_t> back(c.before + 3);
        EXPECT_EQ(stream.Read(back.data(), static_cast<std::uint32_t>(back.size()) + 10),
                  static_cast<int>(back.size()));
        EXPECT_EQ(back, data);
    }
}

}  // namespace
