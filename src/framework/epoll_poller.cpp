// epoll behind CEpollPoller. Level-triggered: the event loop and the transports decide when a
// descriptor's interest is armed, so a descriptor nobody reads from is simply not watched.
#include "framework/epoll_poller.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

#include "framework/error.h"

namespace kx {

namespace {
std::uint32_t ToEpoll(std::uint32_t interest) {
    std::uint32_t ev = 0;
    if (interest & kFdReadable) ev |= EPOLLIN | EPOLLRDHUP;
    if (interest & kFdWritable) ev |= EPOLLOUT;
    return ev;
}
std::uint64_t Pack(int fd, std::uint32_t tag) {
    return (static_cast<std::uint64_t>(tag) << 32) | static_cast<std::uint32_t>(fd);
}
}  // namespace

CEpollPoller::CEpollPoller() : mEpollFd(epoll_create1(EPOLL_CLOEXEC)) {
    if (mEpollFd < 0) KX_FAIL_ERRNO(errno);
}

CEpollPoller::~CEpollPoller() { close(mEpollFd); }

void CEpollPoller::Add(int fd, std::uint32_t interest, std::uint32_t tag) {
    epoll_event ev{};
    ev.events = ToEpoll(interest);
    ev.data.u64 = Pack(fd, tag);
    if (epoll_ctl(mEpollFd, EPOLL_CTL_ADD, fd, &ev) != 0) KX_FAIL_ERRNO(errno);
}

void CEpollPoller::Modify(int fd, std::uint32_t interest, std::uint32_t tag) {
    epoll_event ev{};
    ev.events = ToEpoll(interest);
    ev.data.u64 = Pack(fd, tag);
    if (epoll_ctl(mEpollFd, EPOLL_CTL_MOD, fd, &ev) != 0) KX_FAIL_ERRNO(errno);
}

void CEpollPoller::Remove(int fd) { epoll_ctl(mEpollFd, EPOLL_CTL_DEL, fd, nullptr); }

void CEpollPoller::Wait(std::vector<SFiredEvent>& out, int timeoutMs) {
    epoll_event events[kBatchSize];
    int n = epoll_wait(mEpollFd, events, static_cast<int>(kBatchSize), timeoutMs);
    if (n < 0) {
        if (errno == EINTR) return;
        KX_FAIL_ERRNO(errno);
    }
    for (int i = 0; i < n; ++i) {
        std::uint32_t mask = 0;
        const std::uint32_t ev = events[i].events;
        if (ev & EPOLLIN) mask |= kFdReadable;
        if (ev & EPOLLOUT) mask |= kFdWritable;
        if (ev & (EPOLLHUP | EPOLLRDHUP)) mask |= kFdHangup;
        if (ev & EPOLLERR) mask |= kFdError;
        out.push_back(SFiredEvent{static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu), mask,
                                  static_cast<std::uint32_t>(events[i].data.u64 >> 32)});
    }
}

}  // namespace kx
