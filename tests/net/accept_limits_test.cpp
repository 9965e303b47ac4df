// A listener that runs out of descriptors must not spin the loop: it stops listening for a
// moment, then accepts the waiting connections once descriptors are free again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/event_loop.h"
#include "net/transport.h"

namespace kx {
namespace {

int ConnectTo(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

TEST(AcceptLimits, OutOfDescriptorsBacksOffInsteadOfSpinning) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime needs descriptors of its own (it checks memory through a pipe) and
    // reports nonsense when there are none; the plain build runs this case.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    UTransport::Init();
    TTransport listener = UTransport::New(kTransportStream, true);
    SInternetAddress addr{kInternetAddressType, 0, {127, 0, 0, 1, 0, 0, 0, 0}};
    listener->Listen(&addr, sizeof addr);
    const std::uint16_t port = listener->GetLocalPort();
    ASSERT_NE(port, 0);

    int requests = 0;
    std::vector<TTransport> accepted;
    listener->SetMessageHandler([&](std::uint32_t code, void*) {
        if (code != kMsgConnectionRequest) return;
        ++requests;
        while (TTransport t = listener->Accept(nullptr, nullptr)) accepted.push_back(std::move(t));
    });

    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(ConnectTo(port));

    // No descriptor can be made below the lowest free one.
    const int lowestFree = fcntl(0, F_DUPFD, 0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

    for (int i = 0; i < 30; ++i) CEventLoop::Get().RunOnce(1);
    const int requestsWhileFull = requests;
    EXPECT_TRUE(accepted.empty());
    EXPECT_LE(requestsWhileFull, 2) << "the listener kept reporting while out of descriptors";

    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    for (int i = 0; i < 200 && accepted.size() < 3; ++i) CEventLoop::Get().RunOnce(5);
    EXPECT_EQ(accepted.size(), 3u);

    for (int fd : clients) close(fd);
    accepted.clear();
    listener.reset();
    for (int i = 0; i < 5; ++i) CEventLoop::Get().RunOnce(0);
}

}  // namespace
}  // namespace kx
