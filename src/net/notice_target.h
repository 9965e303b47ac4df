// Where a socket endpoint's notices go (regular and TLS endpoints): the handler and the sender
// they name, shared with the notices already posted, which check `alive` when delivered, so a
// notice outliving its endpoint is dropped rather than delivered.
#pragma once

#include <memory>

#include "framework/event_loop.h"

namespace kx {

struct SNoticeTarget {
    bool alive = true;
    TMessageProc handler;
    void* object = nullptr;
};

// Posts `code` through the event loop's queue; delivered to the handler set at delivery time.
inline void PostNotice(const std::shared_ptr<SNoticeTarget>& notice, std::uint32_t code) {
    std::shared_ptr<SNoticeTarget> target = notice;
    CEventLoop::Get().PostMessage(code, target->object, [target](std::uint32_t c, void* object) {
        if (!target->alive) return;
        TMessageProc handler = target->handler;  // the handler may replace itself or dispose the endpoint
        if (handler) handler(c, object);
    });
}

}  // namespace kx
