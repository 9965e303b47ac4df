// The io_uring ring that carries the end-of-iteration writes of many connections.
#include "net/batch_send.h"

#include <liburing.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/event_loop.h"
#include "net/send_queue.h"

namespace kx {

namespace {

constexpr unsigned kRingEntries = 1024;
constexpr std::size_t kArenaSize = 256u * 1024;
constexpr std::size_t kPerWriteArena = 16u * 1024;
constexpr std::size_t kIovecPool = 4096;
constexpr int kMaxIovecs = 256;

}  // namespace

struct CBatchSend::SRing {
    io_uring ring{};
    bool open = false;
};

namespace {

// Sends with MSG_DONTWAIT answer EAGAIN in their completion from 6.1 on; older rings may wait for
// the socket to take the bytes, which would hold the loop.
bool KernelAnswersAtOnce() {
    utsname name{};
    if (uname(&name) != 0) return false;
    int major = 0, minor = 0;
    if (std::sscanf(name.release, "%d.%d", &major, &minor) != 2) return false;
    return major > 6 || (major == 6 && minor >= 1);
}

}  // namespace

CBatchSend* CBatchSend::Get() {
    static std::unique_ptr<CBatchSend> writer = [] {
        std::unique_ptr<CBatchSend> w;
        if (std::getenv("KX_NO_BATCH_SEND") != nullptr || !KernelAnswersAtOnce()) return w;
        w.reset(new CBatchSend());
        if (!w->mRing->open) {
            w.reset();
            return w;
        }
        CBatchSend* raw = w.get();
        CEventLoop::Get().AddFlushDoneHook([raw] { raw->Submit(); });
        return w;
    }();
    return writer.get();
}

CBatchSend::CBatchSend() : mRing(std::make_unique<SRing>()), mArena(kArenaSize), mIovecs(kIovecPool) {
    mRing->open = io_uring_queue_init(kRingEntries, &mRing->ring, 0) == 0;
    mSlots.reserve(kRingEntries);
}

CBatchSend::~CBatchSend() {
    if (mRing->open) io_uring_queue_exit(&mRing->ring);
}

std::size_t CBatchSend::Add(IBatchedWriter* writer, int sock, const CSendQueue& queue) {
    if (mBroken) return 0;
    if (mSlots.size() == kRingEntries || kArenaSize - mArenaUsed < kPerWriteArena ||
        kIovecPool - mIovecsUsed < std::size_t(kMaxIovecs))
        Submit();
    iovec* iov = &mIovecs[mIovecsUsed];
    std::uint8_t* room = mArena.data() + mArenaUsed;
    std::size_t total = 0;
    const int count = queue.Gather(iov, kMaxIovecs, total, room, kPerWriteArena);
    if (count == 0 || total == 0) return 0;
    for (int k = 0; k < count; ++k) {
        const auto* base = static_cast<const std::uint8_t*>(iov[k].iov_base);
        if (base >= room && base < room + kPerWriteArena) mArenaUsed += iov[k].iov_len;
    }
    mIovecsUsed += static_cast<std::size_t>(count);
    SSlot& slot = mSlots.emplace_back();
    slot.writer = writer;
    slot.sock = sock;
    slot.msg = msghdr{};
    slot.msg.msg_iov = iov;
    slot.msg.msg_iovlen = static_cast<std::size_t>(count);
    return total;
}

void CBatchSend::Submit() {
    if (mSlots.empty()) return;
    io_uring& ring = mRing->ring;
    for (std::size_t i = 0; i < mSlots.size(); ++i) {
        SSlot& slot = mSlots[i];
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        if (slot.msg.msg_iovlen == 1) {
            io_uring_prep_send(sqe, slot.sock, slot.msg.msg_iov[0].iov_base, slot.msg.msg_iov[0].iov_len,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            io_uring_prep_sendmsg(sqe, slot.sock, &slot.msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        io_uring_sqe_set_data64(sqe, i);
    }
    const unsigned want = static_cast<unsigned>(mSlots.size());
    unsigned submitted = 0;
    while (submitted < want) {
        const int n = io_uring_submit_and_wait(&ring, want - submitted);
        if (n > 0) {
            submitted += static_cast<unsigned>(n);
        } else if (n != -EINTR && n != -EAGAIN && n != -EBUSY) {
            mBroken = true;
            break;
        }
    }
    // Taken off the list before anyone hears of a result: a writer may add again.
    std::vector<SSlot> slots;
    slots.swap(mSlots);
    // A write the kernel did not take wrote nothing: its endpoint waits for writability.
    std::vector<long> results(slots.size(), -EAGAIN);
    for (unsigned seen = 0; seen < submitted; ++seen) {
        io_uring_cqe* cqe = nullptr;
        int ret;
        do {
            ret = io_uring_wait_cqe(&ring, &cqe);
        } while (ret == -EINTR);
        if (ret != 0 || cqe == nullptr) {
            mBroken = true;
            break;
        }
        results[io_uring_cqe_get_data64(cqe)] = cqe->res;
        io_uring_cqe_seen(&ring, cqe);
    }
    mArenaUsed = 0;
    mIovecsUsed = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i].writer->OnBatchedWrite(results[i]);
    slots.clear();
    if (mSlots.empty()) mSlots.swap(slots);
}

}  // namespace kx
