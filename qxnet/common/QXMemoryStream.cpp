#include "qxnet/common/QXMemoryStream.h"

#include <algorithm>
#include <cstring>
#include <list>

namespace QX {
namespace {
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorNoMoreItems = 259;

// What a read gets with nowhere to put the bytes or nothing to give: -1 or 0, with the last
// error set; 1 when it may go ahead.
std::int32_t RefuseRead(const void* target, std::uint32_t size, bool empty) {
    if (target == nullptr || size == 0) {
        SetLastErrorValue(kErrorInvalidParameter);
        return -1;
    }
    if (empty) {
        SetLastErrorValue(kErrorNoMoreItems);
        return 0;
    }
    return 1;
}
}  // namespace

CMemoryStream::CMemoryStream() = default;

// Only the thread that uses the stream changes the count, so a plain load and store keep it
// exact without a locked instruction per piece; the store still publishes it whole to GetSize
// on any thread.
inline void CMemoryStream::AdjustByteCount(std::uint32_t bytes, bool added) {
    const std::uint32_t now = m_byteCount.load(std::memory_order_relaxed);
    m_byteCount.store(added ? now + bytes : now - bytes, std::memory_order_release);
}

CMemoryStream::~CMemoryStream() {
    Clear();
}

std::int32_t CMemoryStream::Write(const void* data, std::uint32_t size) {
    if (data == nullptr || size == 0) {
        SetLastErrorValue(kErrorInvalidParameter);
        return -1;
    }
    if (m_back != nullptr && size < m_chunkSize - m_writePosition) {
        // The usual case: the bytes fit in the back chunk without filling it.
        std::memcpy(m_back + m_writePosition, data, size);
        m_writePosition += size;
    } else {
        WriteAcrossChunks(static_cast<const unsigned char*>(data), size);
    }
    AdjustByteCount(size, true);
    SetLastErrorValue(0);
    return static_cast<std::int32_t>(size);
}

void CMemoryStream::WriteAcrossChunks(const unsigned char* bytes, std::uint32_t size) {
    if (m_chunkSize == 0) {
        m_chunkSize = ChunkSize;
    }
    // Every chunk this write needs (one more at each boundary it reaches, so a chunk that fills
    // is followed by an empty one) is allocated before anything changes: an allocation that
    // throws leaves the stream exactly as it was.
    const std::uint64_t end = std::uint64_t{m_writePosition} + size;
    const auto needed = static_cast<std::size_t>(end / m_chunkSize) + (m_back == nullptr ? 1 : 0);
    std::list<unsigned char*> fresh;
    try {
        while (fresh.size() < needed) {
            if (m_spareNodes.empty()) {
                fresh.emplace_back();
            } else {
                // Null until the allocation returns: a spare node still holds its freed chunk.
                fresh.splice(fresh.end(), m_spareNodes, m_spareNodes.begin());
                fresh.back() = nullptr;
            }
            fresh.back() = AllocChunk();
        }
    } catch (...) {
        for (unsigned char* chunk : fresh) {
            if (chunk != nullptr) {
                FreeChunk(chunk);
            }
        }
        m_spareNodes.splice(m_spareNodes.end(), fresh);
        throw;
    }
    // Bytes copied past the write position are not held until the positions move, so filling
    // the chunks before they are linked in changes nothing a reader can see.
    std::uint32_t remaining = size;
    std::uint32_t at = m_writePosition;
    auto next = fresh.begin();
    unsigned char* chunk = m_back != nullptr ? m_back : *next++;
    while (remaining != 0) {
        std::uint32_t n = std::min(remaining, m_chunkSize - at);
        std::memcpy(chunk + at, bytes, n);
        bytes += n;
        remaining -= n;
        at += n;
        if (at == m_chunkSize) {
            chunk = *next++;
            at = 0;
        }
    }
    unsigned char* first = fresh.front();
    Append(fresh);
    if (m_front == nullptr) {
        m_front = first;
    }
    m_back = chunk;
    m_writePosition = at;
}

// Walks the unread bytes chunk by chunk, handing each piece to sink and freeing every chunk it
// finishes. Its first step is the usual read, a piece inside the front chunk that leaves the
// chunk unfinished, and ends there. The caller has checked that the list holds a chunk.
template <typename Sink>
inline std::uint32_t CMemoryStream::Consume(std::uint32_t size, Sink sink) {
    std::uint32_t done = 0;
    for (;;) {
        const bool last = m_front == m_back;
        // What this chunk holds, compared with what is still asked for as an amount: a sum of
        // position and count would wrap for requests such as 0xFFFFFFFF ("all of it").
        const std::uint32_t held = (last ? m_writePosition : m_chunkSize) - m_readPosition;
        const std::uint32_t n = std::min(size - done, held);
        if (n != 0) {
            sink(m_front + m_readPosition, n);
        }
        m_readPosition += n;
        done += n;
        // A finished chunk is freed at once; so is an empty last chunk, so that the next write
        // starts a new one.
        if (m_readPosition == m_chunkSize || (last && m_readPosition == 0)) {
            DropFront(last);
        }
        // The last chunk gives all it holds, however much more was asked for.
        if (done == size || last) {
            break;
        }
    }
    AdjustByteCount(done, false);
    // Set after the sink's calls: a destination stream's Write sets this thread's last error,
    // and the read itself succeeded.
    SetLastErrorValue(0);
    return done;
}

// Out of line, so that the usual read, which never gets here, stays short.
void CMemoryStream::DropFront(bool last) {
    m_readPosition = 0;
    unsigned char* chunk = nullptr;
    if (PopFront(chunk, m_front, m_spareNodes)) {
        FreeChunk(chunk);
    }
    if (last) {
        m_front = nullptr;
        m_back = nullptr;
    }
}

std::int32_t CMemoryStream::Read(void* buffer, std::uint32_t size) {
    if (const std::int32_t refused = RefuseRead(buffer, size, m_front == nullptr); refused <= 0) {
        return refused;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    return static_cast<std::int32_t>(
        Consume(size, [&out](const unsigned char* piece, std::uint32_t n) {
            std::memcpy(out, piece, n);
            out += n;
        }));
}

std::uint32_t CMemoryStream::GetSize() {
    return m_byteCount.load();
}

std::uint32_t CMemoryStream::Skip(std::uint32_t count) {
    if (count == 0) {
        count = GetSize();
    }
    if (m_front == nullptr) {
        return 0;
    }
    return Consume(count, [](const unsigned char*, std::uint32_t) {});
}

std::int32_t CMemoryStream::ReadTo(QXSDK::IStream* destination, std::uint32_t size) {
    if (const std::int32_t refused = RefuseRead(destination, size, m_front == nullptr);
        refused <= 0) {
        return refused;
    }
    return static_cast<std::int32_t>(
        Consume(size, [destination](const unsigned char* piece, std::uint32_t n) {
            destination->Write(piece, n);
        }));
}

void CMemoryStream::Clear() {
    unsigned char* chunk = nullptr;
    while (PopFront(chunk)) {
        FreeChunk(chunk);
    }
    m_spareNodes.clear();
    m_front = nullptr;
    m_back = nullptr;
    m_byteCount.store(0);
    m_readPosition = 0;
    m_writePosition = 0;
}

void CMemoryStream::Truncate(std::uint32_t size) {
    if (size >= GetSize()) {
        return;
    }
    // The chunks and the write position that writing only the kept bytes would have left: none
    // at all when nothing of the front chunk was read or kept.
    const std::uint64_t end = std::uint64_t{m_readPosition} + size;
    const std::size_t keep = end == 0 ? 0 : static_cast<std::size_t>(end / m_chunkSize) + 1;
    unsigned char* chunk = nullptr;
    while (Count() > keep && PopBack(chunk)) {
        FreeChunk(chunk);
    }
    if (keep == 0) {
        m_front = nullptr;
        m_back = nullptr;
    } else {
        Back(m_back);
    }
    m_writePosition = static_cast<std::uint32_t>(end % m_chunkSize);
    AdjustByteCount(GetSize() - size, false);
}

unsigned char* CMemoryStream::AllocChunk() {
    return new unsigned char[m_chunkSize];
}

void CMemoryStream::FreeChunk(unsigned char* chunk) {
    delete[] chunk;
}

}  // namespace QX
