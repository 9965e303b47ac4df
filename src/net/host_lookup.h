// Asynchronous IPv4 host-name lookup for datagram sending. The blocking resolver runs on a
// worker thread; its answer reaches the event-loop thread through an eventfd watched by
// CEventLoop::Get(), so the loop never waits on the name service.
//
// The completion runs on the loop thread, inside the loop's descriptor dispatch, and is the
// last thing the lookup does: it may destroy the CHostLookup. Destroying a CHostLookup
// earlier abandons it: the worker thread finishes on its own and its answer is ignored.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net/transport.h"

namespace kx {

class CHostLookup {
public:
    // ok: the name resolved; addr: its first IPv4 address.
    using TDone = std::function<void(bool ok, const SIPAddress& addr)>;

    // Starts the lookup. Raises the mapped platform error when it cannot be started.
    CHostLookup(std::string host, TDone done);
    ~CHostLookup();
    CHostLookup(const CHostLookup&) = delete;
    CHostLookup& operator=(const CHostLookup&) = delete;

    bool IsDone() const { return mDone == nullptr; }

private:
    struct SShared;

    void OnSignalled();
    static void Resolve(const std::string& host, const std::shared_ptr<SShared>& shared);

    std::shared_ptr<SShared> mShared;
    TDone mDone;
};

}  // namespace kx
