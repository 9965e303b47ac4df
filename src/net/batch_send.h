// The writes of many connections handed to the kernel together, with one system call (io_uring),
// at the end of an event-loop iteration. A chat line to 5,000 clients is 5,000 small writes: one
// system call each spends much of its time entering and leaving the kernel, and each return to
// the program is a point where a woken reader may take the processor from the writer.
//
// An endpoint's flush lays its queue out (the small pieces copied into this writer's arena, the
// large ones referenced where they are) and adds one write; the loop's flush phase ends with
// Submit, which hands every added write over at once and reports each result to its endpoint,
// which then goes on as after a write of its own. Where io_uring is not available (a kernel older
// than 6.1, whose ring may wait for a full socket instead of answering EAGAIN; a sandbox that
// forbids it) Get() is null and endpoints write for themselves; after a failed submission Add
// takes nothing more.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kx {

class CSendQueue;

// An endpoint whose write was added: told the result (bytes written, or -errno).
class IBatchedWriter {
public:
    virtual void OnBatchedWrite(long result) = 0;

protected:
    ~IBatchedWriter() = default;
};

class CBatchSend {
public:
    // The event loop's writer, created on first use; null when io_uring cannot be used.
    static CBatchSend* Get();
    ~CBatchSend();

    // Adds one write of the queue's head (data entries only) to `sock`; its size, 0 when there
    // is nothing to write. May submit what was added before, when the arena or the ring is full.
    std::size_t Add(IBatchedWriter* writer, int sock, const CSendQueue& queue);
    // Hands every added write to the kernel and reports the results.
    void Submit();
    std::size_t Pending() const { return mSlots.size(); }

private:
    struct SRing;
    struct SSlot {
        IBatchedWriter* writer;
        int sock;
        msghdr msg;
    };
    CBatchSend();

    std::unique_ptr<SRing> mRing;
    std::vector<std::uint8_t> mArena;  // the small pieces of the added writes
    std::size_t mArenaUsed = 0;
    std::vector<iovec> mIovecs;  // never reallocated: the added writes point into it
    std::size_t mIovecsUsed = 0;
    std::vector<SSlot> mSlots;
    bool mBroken = false;  // a submission failed: what it left in the ring is never submitted
};

}  // namespace kx
