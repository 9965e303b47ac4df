// The shared blocks' reference counting and the send queue's ring of entries: appending, laying
// the head out for one gather write or one contiguous copy, and taking written bytes off.
#include "net/send_queue.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "framework/byte_codec.h"
#include "framework/error.h"

namespace kx {

std::uint64_t TSharedBlock::sLive = 0;

TSharedBlock TSharedBlock::Copy(const void* data, std::uint32_t size) {
    TSharedBlock block;
    void* raw = ::operator new(offsetof(SRep, bytes) + std::max<std::size_t>(size, 1));
    block.mRep = static_cast<SRep*>(raw);
    block.mRep->refs = 1;
    block.mRep->size = size;
    if (size != 0) std::memcpy(block.mRep->bytes, data, size);
    ++sLive;
    return block;
}

void TSharedBlock::Release() {
    if (mRep == nullptr) return;
    if (--mRep->refs == 0) {
        ::operator delete(mRep);
        --sLive;
    }
    mRep = nullptr;
}

std::uint32_t CSendQueue::SEntry::FirstNumber() const {
    std::uint32_t first;
    std::memcpy(&first, prefix, sizeof first);
    return first;
}

void CSendQueue::CopyNumbered(std::uint8_t* dest, const TSharedBlock& block, std::uint32_t from, std::uint32_t size,
                              std::uint32_t first) {
    const std::uint8_t* bytes = block.Data();
    std::memcpy(dest, bytes + from, size);
    const std::uint64_t end = std::uint64_t(from) + size;
    std::uint32_t number = first;
    // Walks the heads from the start: a block holds a bounded run of short messages, and a
    // write that stops inside one is rare.
    for (std::uint64_t head = 0; head < end && head + kNumberedHead <= block.Size(); ++number) {
        const std::uint64_t at = head + kNumberedAt;
        if (at + 4 > from) {
            std::uint8_t encoded[4];
            PutBE32(encoded, number);
            for (std::uint64_t i = std::max<std::uint64_t>(at, from); i < std::min(at + 4, end); ++i)
                dest[i - from] = encoded[i - at];
        }
        head += kNumberedHead + GetBE32(bytes + head + kNumberedLengthAt);
    }
}

std::uint32_t CSendQueue::CountNumbered(const TSharedBlock& block) {
    std::uint32_t count = 0;
    for (std::uint64_t head = 0; head + kNumberedHead <= block.Size(); ++count) {
        head += kNumberedHead + GetBE32(block.Data() + head + kNumberedLengthAt);
        if (head > block.Size()) break;
    }
    return count;
}

CSendQueue::SEntry& CSendQueue::Append() {
    if (mCount == mRing.size()) {
        std::vector<SEntry> grown(mRing.empty() ? 4 : mRing.size() * 2);
        for (std::size_t i = 0; i < mCount; ++i) grown[i] = std::move(At(i));
        mRing.swap(grown);
        mHead = 0;
    }
    ++mCount;
    return At(mCount - 1);
}

void CSendQueue::PopFront() {
    SEntry& e = At(0);
    e.own.reset();
    e.shared = TSharedBlock();
    e.offset = 0;
    e.prefixSize = 0;
    e.numbered = false;
    mHead = (mHead + 1) & (mRing.size() - 1);
    if (--mCount == 0) {
        // An idle connection keeps no ring: thousands of them would hold it for nothing.
        std::vector<SEntry>().swap(mRing);
        mHead = 0;
    }
}

void CSendQueue::PushBytes(const std::uint8_t* data, std::uint32_t size, bool join, std::uint32_t joinLimit) {
    if (size == 0) return;
    if (join && mCount != 0 && size <= joinLimit) {
        SEntry& tail = At(mCount - 1);
        if (tail.own && !tail.own->file && tail.offset == 0 && tail.own->data.size() <= joinLimit) {
            tail.own->data.insert(tail.own->data.end(), data, data + size);
            mUnsent += size;
            return;
        }
    }
    auto buf = std::make_unique<SSendBuf>();
    buf->data.assign(data, data + size);
    PushBlock(std::move(buf));
}

void CSendQueue::PushBlock(TTransportBuffer buf) {
    const std::uint32_t offset = buf->offset;
    const std::uint32_t size = buf->Size();
    if (offset >= size) return;
    SEntry& e = Append();
    e.own = std::move(buf);
    e.offset = offset;
    mUnsent += size - offset;
}

void CSendQueue::PushShared(const std::uint8_t* prefix, std::uint32_t prefixSize, TSharedBlock block) {
    if (prefixSize > kMaxPrefix) KX_FAIL_PARAM();
    if (prefixSize + block.Size() == 0) return;
    SEntry& e = Append();
    e.prefixSize = static_cast<std::uint8_t>(prefixSize);
    if (prefixSize != 0) std::memcpy(e.prefix, prefix, prefixSize);
    mUnsent += prefixSize + block.Size();
    e.shared = std::move(block);
}

void CSendQueue::PushNumbered(TSharedBlock block, std::uint32_t first) {
    if (block.Size() == 0) return;
    SEntry& e = Append();
    e.numbered = true;
    std::memcpy(e.prefix, &first, sizeof first);
    mUnsent += block.Size();
    e.shared = std::move(block);
}

SSendBuf* CSendQueue::FrontFile() {
    if (mCount == 0) return nullptr;
    SEntry& e = At(0);
    return e.own && e.own->file ? e.own.get() : nullptr;
}

int CSendQueue::Gather(iovec* iov, int max, std::size_t& total, std::uint8_t* scratch, std::size_t scratchSize) const {
    int count = 0;
    total = 0;
    std::size_t used = 0;
    bool lastInScratch = false;
    // False when the piece did not fit (no iovec left): the write ends before it.
    auto add = [&](const std::uint8_t* p, std::size_t n) {
        if (n <= kSmallPiece && used + n <= scratchSize) {
            if (!lastInScratch) {
                if (count == max) return false;
                iov[count].iov_base = scratch + used;
                iov[count].iov_len = 0;
                ++count;
                lastInScratch = true;
            }
            std::memcpy(scratch + used, p, n);
            iov[count - 1].iov_len += n;
            used += n;
        } else {
            if (count == max) return false;
            iov[count].iov_base = const_cast<std::uint8_t*>(p);
            iov[count].iov_len = n;
            ++count;
            lastInScratch = false;
        }
        total += n;
        return true;
    };
    for (std::size_t i = 0; i < mCount; ++i) {
        const SEntry& e = At(i);
        if (e.own) {
            if (e.own->file || !add(e.own->data.data() + e.offset, e.own->data.size() - e.offset)) break;
            continue;
        }
        if (e.numbered) {
            // Copied with this connection's numbers, as far as the scratch buffer goes.
            const std::size_t room = scratchSize - used;
            const std::size_t n = std::min<std::size_t>(room, e.shared.Size() - e.offset);
            if (n == 0) break;
            if (!lastInScratch) {
                if (count == max) break;
                iov[count].iov_base = scratch + used;
                iov[count].iov_len = 0;
                ++count;
                lastInScratch = true;
            }
            CopyNumbered(scratch + used, e.shared, e.offset, static_cast<std::uint32_t>(n), e.FirstNumber());
            iov[count - 1].iov_len += n;
            used += n;
            total += n;
            if (e.offset + n < e.shared.Size()) break;
            continue;
        }
        std::uint32_t skip = e.offset;
        if (skip < e.prefixSize) {
            if (!add(e.prefix + skip, e.prefixSize - skip)) break;
            skip = 0;
        } else {
            skip -= e.prefixSize;
        }
        if (e.shared.Size() > skip && !add(e.shared.Data() + skip, e.shared.Size() - skip)) break;
    }
    return count;
}

std::uint32_t CSendQueue::Copy(std::uint8_t* dest, std::uint32_t size) const {
    std::uint32_t copied = 0;
    auto put = [&](const std::uint8_t* p, std::uint32_t n) {
        n = std::min(n, size - copied);
        std::memcpy(dest + copied, p, n);
        copied += n;
    };
    for (std::size_t i = 0; i < mCount && copied < size; ++i) {
        const SEntry& e = At(i);
        if (e.own) {
            if (e.own->file) break;
            put(e.own->data.data() + e.offset, static_cast<std::uint32_t>(e.own->data.size()) - e.offset);
            continue;
        }
        if (e.numbered) {
            const std::uint32_t n = std::min(e.shared.Size() - e.offset, size - copied);
            CopyNumbered(dest + copied, e.shared, e.offset, n, e.FirstNumber());
            copied += n;
            continue;
        }
        std::uint32_t skip = e.offset;
        if (skip < e.prefixSize) {
            put(e.prefix + skip, e.prefixSize - skip);
            skip = 0;
        } else {
            skip -= e.prefixSize;
        }
        if (e.shared.Size() > skip) put(e.shared.Data() + skip, e.shared.Size() - skip);
    }
    return copied;
}

void CSendQueue::Consume(std::uint64_t n) {
    mUnsent -= std::min(n, mUnsent);
    while (n > 0 && mCount != 0) {
        SEntry& e = At(0);
        const std::uint64_t rest = e.Size() - e.offset;
        if (n < rest) {
            e.offset += static_cast<std::uint32_t>(n);
            if (e.own) e.own->offset = e.offset;
            return;
        }
        n -= rest;
        PopFront();
    }
}

void CSendQueue::Clear() {
    std::vector<SEntry>().swap(mRing);
    mHead = 0;
    mCount = 0;
    mUnsent = 0;
}

std::vector<TTransportBuffer> CSendQueue::TakeUnstarted() {
    std::vector<TTransportBuffer> unstarted;
    for (std::size_t i = 0; i < mCount; ++i) {
        SEntry& e = At(i);
        if (e.offset != 0 || (e.own && e.own->file)) continue;
        if (e.own) {
            unstarted.push_back(std::move(e.own));
            continue;
        }
        auto buf = std::make_unique<SSendBuf>();
        if (e.numbered) {
            buf->data.resize(e.shared.Size());
            CopyNumbered(buf->data.data(), e.shared, 0, e.shared.Size(), e.FirstNumber());
            unstarted.push_back(std::move(buf));
            continue;
        }
        buf->data.assign(e.prefix, e.prefix + e.prefixSize);
        buf->data.insert(buf->data.end(), e.shared.Data(), e.shared.Data() + e.shared.Size());
        unstarted.push_back(std::move(buf));
    }
    Clear();
    return unstarted;
}

}  // namespace kx
