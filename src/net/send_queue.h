// The write-behind send queue that every socket endpoint keeps (regular, TLS, and any other that
// writes to a socket), and the shared blocks that let one message go to many queues without a
// copy per recipient.
//
// TSharedBlock: immutable bytes with a reference count. A notice for thousands of clients is
// encoded once into one block; each recipient's queue holds a reference plus its own few bytes
// in front (a transaction header, whose ID differs per connection). The block is freed when the
// last queue has written or dropped it. The count is not atomic: blocks live on the event-loop
// thread only.
//
// A numbered block: several messages for many connections, encoded once. Each message is a
// head of kNumberedHead bytes followed by the body whose length the head gives (big-endian, at
// kNumberedLengthAt); the four bytes at kNumberedAt are zero in the block and each connection
// writes its own consecutive numbers there as the bytes go out. A run of chat lines to
// thousands of clients is then one entry per connection instead of one per line and client.
//
// CSendQueue: the blocks waiting to be written, oldest first. Each entry is one of: bytes the
// queue owns (small ones joined onto the last entry while it is not begun), a file range, a
// shared block with its per-connection prefix, or a numbered block with its first number. Gather() lays the data entries from the head out
// as iovecs for one sendmsg (small pieces joined in a scratch buffer), Consume() takes written bytes off the head, and Copy() copies the
// head's bytes into a contiguous buffer for writers that need one (SSL_write). The entries live in
// a ring that grows by doubling and is released once the queue is empty, so an idle connection
// holds no queue memory at all.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "net/transport.h"

namespace kx {

class TSharedBlock {
public:
    TSharedBlock() = default;
    // A block holding a copy of `size` bytes.
    static TSharedBlock Copy(const void* data, std::uint32_t size);
    TSharedBlock(const TSharedBlock& other) : mRep(other.mRep) {
        if (mRep) ++mRep->refs;
    }
    TSharedBlock(TSharedBlock&& other) noexcept : mRep(other.mRep) { other.mRep = nullptr; }
    TSharedBlock& operator=(TSharedBlock other) noexcept {
        std::swap(mRep, other.mRep);
        return *this;
    }
    ~TSharedBlock() { Release(); }

    explicit operator bool() const { return mRep != nullptr; }
    const std::uint8_t* Data() const { return mRep ? mRep->bytes : nullptr; }
    std::uint32_t Size() const { return mRep ? mRep->size : 0; }
    std::uint32_t UseCount() const { return mRep ? mRep->refs : 0; }
    // Blocks alive in the process (tests check that every block is freed once).
    static std::uint64_t LiveBlocks() { return sLive; }

private:
    struct SRep {
        std::uint32_t refs;
        std::uint32_t size;
        std::uint8_t bytes[1];
    };
    void Release();
    SRep* mRep = nullptr;
    static std::uint64_t sLive;
};

class CSendQueue {
public:
    // Most bytes written in front of a shared block for one recipient.
    static constexpr std::uint32_t kMaxPrefix = 20;
    // The memory one queued entry takes (a shared block's reference and prefix).
    static constexpr std::size_t kEntrySize = 48;
    // Pieces up to this size are gathered by copy (see Gather).
    static constexpr std::size_t kSmallPiece = 512;
    // The layout of a numbered block's message heads.
    static constexpr std::uint32_t kNumberedHead = 20;
    static constexpr std::uint32_t kNumberedAt = 4;
    static constexpr std::uint32_t kNumberedLengthAt = 16;

    // Copies `size` bytes of the numbered block from `from` into `dest`, each message's number
    // written in (the first message gets `first`, the next first + 1, ...).
    static void CopyNumbered(std::uint8_t* dest, const TSharedBlock& block, std::uint32_t from, std::uint32_t size,
                             std::uint32_t first);
    // Messages in a numbered block (a message cut short by the block's end is not counted).
    static std::uint32_t CountNumbered(const TSharedBlock& block);

    CSendQueue() = default;
    ~CSendQueue() { Clear(); }
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    bool Empty() const { return mCount == 0; }
    // Entries waiting (a joined run of small writes is one).
    std::size_t Blocks() const { return mCount; }
    // Bytes not yet written.
    std::uint64_t Unsent() const { return mUnsent; }

    // Copies the bytes, onto the end of the last entry when `join` allows it (both sizes at
    // most `joinLimit`, the last entry owned bytes not begun), else as an entry of their own.
    void PushBytes(const std::uint8_t* data, std::uint32_t size, bool join, std::uint32_t joinLimit);
    // Queues a block as it is (bytes or a file range), without a copy.
    void PushBlock(TTransportBuffer buf);
    // Queues `prefixSize` bytes (at most kMaxPrefix) followed by the shared block's bytes.
    void PushShared(const std::uint8_t* prefix, std::uint32_t prefixSize, TSharedBlock block);
    // Queues a numbered block whose messages take the numbers `first`, first + 1, ...
    void PushNumbered(TSharedBlock block, std::uint32_t first);

    // The file range at the head, or null when the head holds bytes (or nothing).
    SSendBuf* FrontFile();
    // Fills up to `max` iovecs with the unwritten bytes of the data entries from the head, up
    // to the first file range; the count, with their total in `total`. Pieces of at most
    // kSmallPiece bytes in a row are copied into `scratch` (while it has room) and go as one
    // iovec: the kernel's cost per iovec is far above that of copying a header or a chat line.
    // A numbered block is always copied (its numbers are written in), as far as `scratch` has
    // room; the write ends there.
    int Gather(iovec* iov, int max, std::size_t& total, std::uint8_t* scratch = nullptr,
               std::size_t scratchSize = 0) const;
    // Copies up to `size` unwritten bytes from the head (stopping at a file range) into `dest`;
    // the count.
    std::uint32_t Copy(std::uint8_t* dest, std::uint32_t size) const;
    // `n` bytes from the head have been written: finished entries are freed.
    void Consume(std::uint64_t n);
    void Clear();
    // The entries whose writing has not begun, as blocks of their own (shared ones copied), oldest
    // first; the queue is left empty.
    std::vector<TTransportBuffer> TakeUnstarted();

private:
    struct SEntry {
        TTransportBuffer own;  // owned bytes or a file range; null for a shared block
        TSharedBlock shared;
        std::uint32_t offset = 0;  // bytes of this entry already written
        std::uint8_t prefixSize = 0;
        bool numbered = false;  // `shared` is a numbered block; its first number is in `prefix`
        std::uint8_t prefix[kMaxPrefix];
        std::uint32_t FirstNumber() const;
        std::uint32_t Size() const { return own ? own->Size() : prefixSize + shared.Size(); }
    };
    static_assert(sizeof(SEntry) <= kEntrySize);
    SEntry& At(std::size_t i) { return mRing[(mHead + i) & (mRing.size() - 1)]; }
    const SEntry& At(std::size_t i) const { return mRing[(mHead + i) & (mRing.size() - 1)]; }
    SEntry& Append();
    void PopFront();

    std::vector<SEntry> mRing;  // a power of two in size, or empty
    std::size_t mHead = 0;
    std::size_t mCount = 0;
    std::uint64_t mUnsent = 0;
};

}  // namespace kx
