// Fuzz target: a transaction connection fed an arbitrary byte stream from its first byte, the
// establish request included, through the in-memory endpoint. The first input byte sets how the
// stream is cut into arrivals (0: all at once, n: n bytes at a time); the server side runs as
// the application does: establish, then claim every complete request, read its field list and
// answer it. The receive limit is lowered so that the bounds are within the fuzzer's reach.
#include <algorithm>
#include <memory>

#include "framework/error.h"
#include "framework/event_loop.h"
#include "fuzz/targets.h"
#include "protocol/field_data.h"
#include "protocol/transact.h"
#include "support/fake_transport.h"

namespace kx::fuzz {

namespace {

constexpr std::uint32_t kFuzzReceiveLimit = 4096;

void Drain() {
    for (int i = 0; i < 8 && CEventLoop::Get().QueuedMessages() != 0; ++i) CEventLoop::Get().RunOnce(0);
}

struct SLimitGuard {
    std::uint32_t saved = _gTransactMaxReceiveSize;
    SLimitGuard() { _gTransactMaxReceiveSize = kFuzzReceiveLimit; }
    ~SLimitGuard() { _gTransactMaxReceiveSize = saved; }
};

// Claims and answers every complete request, as the processing pass does.
void ServeRequests(TTransactObj& trn) {
    for (int served = 0; served < 1000; ++served) {
        TTransactSession ses = trn.NewReceiveSession();
        if (!ses) return;
        StFieldData fields;
        ses->ReceiveData(fields);
        const std::uint16_t count = UFieldData::GetFieldCount(fields);
        for (std::uint32_t i = 1; i <= count; ++i) (void)UFieldData::GetBytesByIndex(fields, static_cast<std::uint16_t>(i));
        StFieldData reply;
        UFieldData::AddInteger(reply, 100, count);
        if (count % 2 != 0) ses->SetSendError(1);
        ses->SendData(reply);
        ses.reset();
    }
}

}  // namespace

int FuzzTransact(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // At most 64 arrivals: every arrival is a turn of the event loop (a system call), and feeding
    // a long input a byte at a time cost most of the run time. Short inputs are still fed a byte
    // at a time, and the cut points of long ones still fall anywhere.
    const std::size_t piece = data[0] == 0 ? size : std::max<std::size_t>(data[0], (size + 63) / 64);
    SLimitGuard limit;
    Drain();
    {
        auto fake = std::make_unique<test::CFakeTransport>();
        test::CFakeTransport* tpt = fake.get();
        TTransact trn = std::make_unique<TTransactObj>(std::move(fake));
        int notices = 0;
        trn->SetMessageHandler([&notices](std::uint32_t, void*) { ++notices; });
        bool refused = false;
        try {
            for (std::size_t at = 1; at < size && !refused && !trn->IsDead(); at += piece) {
                tpt->Feed(data + at, std::min(piece, size - at));
                Drain();
                if (!trn->IsEstablished()) {
                    std::uint8_t tag[4];
                    std::uint16_t version = 0;
                    const int r = trn->ReceiveEstablish(tag, version);
                    if (r == kEstablishReceived) {
                        trn->AcceptEstablish();
                    } else if (r != kEstablishPending) {
                        refused = true;
                        break;
                    }
                }
                if (trn->IsEstablished()) ServeRequests(*trn);
                // Unclaimed data stays within the connection's bound.
                KX_FUZZ_CHECK(trn->IsDead() ||
                              trn->GetPendingBytes() <= std::uint64_t{kTransactPendingLimitFactor} * kFuzzReceiveLimit);
            }
            if (trn->IsEstablished() && !trn->IsDead()) ServeRequests(*trn);
        } catch (const SError&) {
            // The connection reports framing failures by dying, not by throwing; sending on a
            // closed endpoint may still raise a network error, which the application handles.
        }
        tpt->PeerClose();
        Drain();
        trn.reset();
    }
    Drain();
    KX_FUZZ_CHECK(CEventLoop::Get().QueuedMessages() == 0);
    return 0;
}

}  // namespace kx::fuzz
