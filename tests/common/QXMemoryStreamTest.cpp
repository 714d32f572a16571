#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
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

// Counts the chunks it allocates and frees, so the chunk rules can be checked directly.
class CountingStream : public QX::CMemoryStream {
public:
    int allocated = 0;
    int freed = 0;
    ~CountingStream() override { Clear(); }

protected:
    unsigned char* AllocChunk() override {
        ++allocated;
        return QX::CMemoryStream::AllocChunk();
    }
    void FreeChunk(unsigned char* chunk) override {
        if (chunk != nullptr) {
            ++freed;
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
    CountingStream stream;
    auto data = Pattern(32768);
    EXPECT_EQ(stream.Write(data.data(), 32768), 32768);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 2u);
    EXPECT_EQ(stream.GetSize(), 32768u);

    std::vector<std::uint8_t> back(32768);
    EXPECT_EQ(stream.Read(back.data(), 32768), 32768);
    EXPECT_EQ(back, data);
    EXPECT_EQ(stream.ChunkCount(), 1u);
    EXPECT_EQ(stream.freed, 1);
    EXPECT_EQ(stream.GetSize(), 0u);

    // Reading at the boundary frees the empty last chunk; the next write starts afresh.
    unsigned char byte;
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 0u);
    EXPECT_EQ(stream.freed, 2);
    EXPECT_EQ(stream.Read(&byte, 1), 0);
    EXPECT_EQ(QX::GetLastErrorValue(), kNoMoreItems);

    const unsigned char more[3] = {7, 8, 9};
    EXPECT_EQ(stream.Write(more, 3), 3);
    EXPECT_EQ(stream.allocated, 3);
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
    CountingStream stream;
    auto data = Pattern(40000);
    stream.Write(data.data(), 40000);
    EXPECT_EQ(stream.Skip(0), 40000u);
    EXPECT_EQ(stream.GetSize(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 1u);
    EXPECT_EQ(stream.freed, 1);
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
    CountingStream stream;
    auto data = Pattern(70000);
    stream.Write(data.data(), 70000);
    unsigned char some[100];
    stream.Read(some, 100);
    stream.Clear();
    EXPECT_EQ(stream.GetSize(), 0u);
    EXPECT_EQ(stream.ChunkCount(), 0u);
    EXPECT_EQ(stream.freed, stream.allocated);
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

TEST(MemoryStream, DestructionFreesEveryChunk) {
    int allocated = 0;
    int freed = 0;
    {
        CountingStream stream;
        auto data = Pattern(100000);
        stream.Write(data.data(), 100000);
        allocated = stream.allocated;
        stream.Clear();
        freed = stream.freed;
    }
    EXPECT_EQ(allocated, 4);
    EXPECT_EQ(freed, 4);
}

}  // namespace
