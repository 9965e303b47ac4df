// The pending run of transactions for many connections and its hand-over.
#include "protocol/transact_fanout.h"

#include <cstring>

#include "framework/error.h"
#include "protocol/transact.h"

namespace kx {

bool TTransactFanOut::sPending = false;

namespace {

struct SRun {
    const void* key = nullptr;
    std::vector<std::uint8_t> bytes;  // the transactions, their IDs zero
    std::uint32_t count = 0;
    std::vector<TTransactObj*> recipients;
};

// One event-loop thread: one run at a time.
SRun& Run() {
    static SRun run;
    return run;
}

}  // namespace

void TTransactFanOut::Add(const void* key, std::uint16_t type, TFieldDataObj data, const TAudience& audience) {
    KX_REQUIRE(data);
    const THdl& body = UFieldData::GetDataHandle(data);
    KX_REQUIRE(body.size() <= UINT32_MAX - kTranHdrSize);
    SRun& run = Run();
    // A transaction larger than a run may hold still goes as a run of its own.
    if (sPending && (run.key != key || run.bytes.size() + kTranHdrSize + body.size() > kMaxRunBytes)) HandOverRun();
    if (!sPending) {
        run.key = key;
        run.recipients.clear();
        audience(run.recipients);
        sPending = true;
    }
    STranHdr hdr;
    hdr.type = type;
    hdr.id = 0;
    hdr.totalSize = static_cast<std::uint32_t>(body.size());
    hdr.dataSize = hdr.totalSize;
    const std::size_t at = run.bytes.size();
    run.bytes.resize(at + kTranHdrSize + body.size());
    hdr.Encode(run.bytes.data() + at);
    if (!body.empty()) std::memcpy(run.bytes.data() + at + kTranHdrSize, body.data(), body.size());
    ++run.count;
}

void TTransactFanOut::HandOverRun() {
    SRun& run = Run();
    // Cleared first: what the recipients do with the run (a connection that must number its
    // transactions one by one) sends, and must not hand the run over again.
    sPending = false;
    const TSharedBlock block = TSharedBlock::Copy(run.bytes.data(), static_cast<std::uint32_t>(run.bytes.size()));
    const std::uint32_t count = run.count;
    std::vector<TTransactObj*> recipients;
    recipients.swap(run.recipients);
    run.bytes.clear();
    run.count = 0;
    run.key = nullptr;
    for (TTransactObj* to : recipients) to->SendNumbered(block, count);
    // The recipients' list is kept for the next run (10,000 pointers are worth not reallocating).
    recipients.clear();
    run.recipients.swap(recipients);
}

}  // namespace kx
