// Asynchronous host-name lookup: getaddrinfo on a detached worker thread, the answer handed to
// the loop thread through an eventfd. The state the two threads share is reference-counted and
// guarded by a mutex, so abandoning a lookup never leaves the worker writing to a closed (and
// possibly reused) descriptor.
#include "net/host_lookup.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "framework/error.h"
#include "framework/event_loop.h"

namespace kx {

struct CHostLookup::SShared {
    std::mutex mutex;
    int eventFd = -1;      // -1 once the loop side has closed it
    bool finished = false;
    bool ok = false;
    SIPAddress addr;
};

CHostLookup::CHostLookup(std::string host, TDone done) : mShared(std::make_shared<SShared>()), mDone(std::move(done)) {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) KX_FAIL_ERRNO(errno);
    mShared->eventFd = fd;
    CEventLoop::Get().WatchFd(fd, kFdReadable, [this](std::uint32_t) { OnSignalled(); });
    try {
        std::thread([host = std::move(host), shared = mShared] { Resolve(host, shared); }).detach();
    } catch (const std::system_error& e) {
        CEventLoop::Get().UnwatchFd(fd);
        close(fd);
        mShared->eventFd = -1;
        KX_FAIL_ERRNO(e.code().value());
    }
}

CHostLookup::~CHostLookup() {
    std::lock_guard<std::mutex> lock(mShared->mutex);
    if (mShared->eventFd >= 0) {
        CEventLoop::Get().UnwatchFd(mShared->eventFd);
        close(mShared->eventFd);
        mShared->eventFd = -1;
    }
}

void CHostLookup::OnSignalled() {
    bool ok;
    SIPAddress addr;
    {
        std::lock_guard<std::mutex> lock(mShared->mutex);
        if (!mShared->finished) return;  // cannot happen: the worker signals after finishing
        CEventLoop::Get().UnwatchFd(mShared->eventFd);
        close(mShared->eventFd);
        mShared->eventFd = -1;
        ok = mShared->ok;
        addr = mShared->addr;
    }
    // The completion may destroy this object: nothing of it is touched after the call.
    TDone done = std::move(mDone);
    mDone = nullptr;
    if (done) done(ok, addr);
}

// Worker thread: the only code here that runs off the loop thread.
void CHostLookup::Resolve(const std::string& host, const std::shared_ptr<SShared>& shared) {
    bool ok = false;
    SIPAddress addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0) {
        for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            std::memcpy(addr.b, &sin->sin_addr.s_addr, 4);  // network order is dotted order
            ok = true;
            break;
        }
        freeaddrinfo(list);
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->ok = ok;
    shared->addr = addr;
    shared->finished = true;
    if (shared->eventFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(shared->eventFd, &one, sizeof(one));
    }
}

}  // namespace kx
