#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "qxnet/QXExport.h"
#include "qxnet/common/QXStream.h"
#include "qxnet/common/QXThreadSafeList.h"

namespace QX {

// An unbounded first-in first-out byte queue in chunks of 32768 bytes: appending never moves
// stored data, a chunk is allocated the moment the previous one fills and freed the moment its
// last byte is consumed. Results come with the thread's last-error value: 0 on success, 87 for a
// null pointer or zero size, 259 when there is nothing to read.
//
// A request for more than is held gets what is held. A Write either stores all its bytes or,
// when a chunk cannot be allocated, throws and leaves the stream as it was.
//
// One thread at a time writes and reads; GetSize may be called from any thread.
class QXNET_API CMemoryStream : public QXSDK::IStream, private CThreadSafeList<unsigned char*> {
public:
    static constexpr std::uint32_t ChunkSize = 0x8000;

    CMemoryStream();
    ~CMemoryStream() override;
    CMemoryStream(const CMemoryStream&) = delete;
    CMemoryStream& operator=(const CMemoryStream&) = delete;

    std::int32_t Write(const void* data, std::uint32_t size) override;
    std::int32_t Read(void* buffer, std::uint32_t size) override;
    std::uint32_t GetSize() override;

    // Discards count bytes (0: all held) and returns how many were discarded.
    virtual std::uint32_t Skip(std::uint32_t count);
    virtual void Clear();
    // Keeps the first size bytes held and drops the ones after them, leaving the stream as if
    // they had never been written; nothing changes when it holds size bytes or fewer. Lets a
    // writer take back what it appended.
    void Truncate(std::uint32_t size);
    // Moves up to size bytes into destination through its Write, one piece per chunk.
    virtual std::int32_t ReadTo(QXSDK::IStream* destination, std::uint32_t size);

    // Chunks currently held, for callers that watch memory use.
    std::uint32_t ChunkCount() { return static_cast<std::uint32_t>(Count()); }

protected:
    // A derived class may take chunks from an allocator of its own by overriding both of these.
    // Chunks still held when the stream is destroyed are freed by this class's destructor, which
    // can only call this class's own FreeChunk (the derived part is gone by then): a class that
    // overrides the pair must call Clear() in its own destructor, so that its FreeChunk gets
    // back every chunk its AllocChunk gave.
    virtual unsigned char* AllocChunk();
    virtual void FreeChunk(unsigned char* chunk);

private:
    void WriteAcrossChunks(const unsigned char* bytes, std::uint32_t size);
    template <typename Sink>
    std::uint32_t Consume(std::uint32_t size, Sink sink);
    // Frees the front chunk, which the read position has finished, and moves on to the next.
    void DropFront(bool last);
    void AdjustByteCount(std::uint32_t bytes, bool added);

    // The list's front and back chunks (null while it is empty), kept as the stream changes the
    // list, so that the list lock is taken only when a chunk is added or removed, not for every
    // piece read or written.
    unsigned char* m_front = nullptr;
    unsigned char* m_back = nullptr;
    std::uint32_t m_readPosition = 0;
    std::uint32_t m_writePosition = 0;
    std::uint32_t m_chunkSize = 0;
    std::atomic<std::uint32_t> m_byteCount{0};
    // List nodes of chunks already freed, reused to carry the next chunks written: a node freed
    // with every chunk and allocated again with the next one costs about as much as the chunk's
    // own allocation. At most as many as the chunks the stream once held; Clear frees them.
    std::list<unsigned char*> m_spareNodes;
};

}  // namespace QX
