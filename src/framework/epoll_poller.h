// The only door to epoll: registers descriptors with an interest mask and returns a batch of
// fired (fd, mask, tag) records. The tag lets the event loop recognise a stale event for a
// descriptor that was closed and reused within the same batch.
#pragma once

#include <cstdint>
#include <vector>

namespace kx {

inline constexpr std::uint32_t kFdReadable = 1;
inline constexpr std::uint32_t kFdWritable = 2;
inline constexpr std::uint32_t kFdHangup = 4;   // peer closed or error; read to learn which
inline constexpr std::uint32_t kFdError = 8;

struct SFiredEvent {
    int fd;
    std::uint32_t mask;
    std::uint32_t tag;
};

class CEpollPoller {
public:
    CEpollPoller();
    ~CEpollPoller();
    CEpollPoller(const CEpollPoller&) = delete;
    CEpollPoller& operator=(const CEpollPoller&) = delete;

    // Most ready descriptors one Wait returns.
    static constexpr std::size_t kBatchSize = 256;

    // Interest is a combination of kFdReadable and kFdWritable. Hang-ups and errors are reported
    // whatever the interest, so a descriptor that has hung up must be removed, not just muted.
    void Add(int fd, std::uint32_t interest, std::uint32_t tag);
    void Modify(int fd, std::uint32_t interest, std::uint32_t tag);
    void Remove(int fd);

    // Waits at most timeoutMs (-1: no limit) and appends what fired to `out`.
    void Wait(std::vector<SFiredEvent>& out, int timeoutMs);

private:
    int mEpollFd;
};

}  // namespace kx
