// A client that stops reading while a private chat is busy, against the real server binary:
// several members keep changing the chat's subject (a notice to every member, under no flood
// rule) while a watcher reads everything. The silent member must be dropped once its unsent
// notices pass the connection's cap, the others must keep being served, and the server's
// resident memory must stay bounded by that cap rather than by how much the chat sends.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "server/wire_session.h"

namespace kx::test {
namespace {

constexpr long kCapKiB = 16 * 1024;          // the connection's unsent-data cap
constexpr long kMarginKiB = 48 * 1024;       // bookkeeping, buffers, allocator slack
constexpr std::size_t kMaxSentBytes = 400u << 20;  // give up if nobody is ever dropped
constexpr int kSenders = 4;

Bytes SubjectRequest(std::uint32_t chatID, std::uint64_t serial) {
    std::string subject(255, 'a' + static_cast<char>(serial % 26));
    const std::string tag = std::to_string(serial);
    subject.replace(0, tag.size(), tag);
    return CFieldListBuilder().AddInt(kFieldChatID, static_cast<std::int32_t>(chatID)).Add(kFieldChatSubject, subject).Build();
}

// The user ID of the user-list entry named `name`, or 0.
std::uint16_t UserIDByName(CTestClient& c, const std::string& name) {
    const std::uint32_t id = c.SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    auto reply = c.ReadReplyTo(id);
    if (!reply) return 0;
    auto fields = ParseFieldList(reply->data);
    if (!fields) return 0;
    for (const STestField& f : *fields) {
        if (f.id != kFieldUserNameWithInfo || f.data.size() < 8) continue;
        const std::size_t len = (f.data[6] << 8) | f.data[7];
        if (std::string(f.data.begin() + 8, f.data.begin() + 8 + std::min(len, f.data.size() - 8)) == name)
            return static_cast<std::uint16_t>((f.data[0] << 8) | f.data[1]);
    }
    return 0;
}

TEST(SlowReader, DISABLED_SilentChatMemberIsDroppedAtTheCapAndMemoryStaysBounded) {
    TempDir dir;
    const std::string program = dir / "Server";
    const unsigned short port = WriteOpenPrefs(program);
    WriteAccount(program, "member", "pw", kFullAccessPrivs);
    ServerProcess server(program, false, port);
    ASSERT_TRUE(server.Start()) << server.StdOut() << server.StdErr();

    auto watcher = LogInOverWire(port, "member", "pw", "watcher");
    auto silent = LogInOverWire(port, "member", "pw", "silent");
    std::vector<std::unique_ptr<CTestClient>> senders;
    for (int i = 0; i < kSenders; ++i) senders.push_back(LogInOverWire(port, "member", "pw", "sender" + std::to_string(i)));
    ASSERT_TRUE(watcher && silent);
    for (auto& s : senders) ASSERT_TRUE(s);

    const std::uint32_t newChat = senders[0]->SendRequest(kTranInviteNewChat, CFieldListBuilder().Build());
    auto created = senders[0]->ReadReplyTo(newChat);
    ASSERT_TRUE(created && created->hdr.error == 0);
    auto createdFields = ParseFieldList(created->data);
    ASSERT_TRUE(createdFields && FindField(*createdFields, kFieldChatID));
    const auto chatID = static_cast<std::uint32_t>(*FindField(*createdFields, kFieldChatID)->Int());
    auto join = [&](CTestClient& c) {
        const std::uint32_t id = c.SendRequest(kTranJoinChat, CFieldListBuilder().AddInt(kFieldChatID, static_cast<std::int32_t>(chatID)).Build());
        auto r = c.ReadReplyTo(id);
        ASSERT_TRUE(r && r->hdr.error == 0);
    };
    join(*watcher);
    join(*silent);
    for (int i = 1; i < kSenders; ++i) join(*senders[i]);
    const std::uint16_t silentID = UserIDByName(*watcher, "silent");
    ASSERT_NE(silentID, 0);

    const long baseKiB = ResidentKiB(server.Pid());
    ASSERT_GT(baseKiB, 0);

    // From here on the silent member reads nothing.
    std::atomic<bool> dropped{false}, stop{false};
    std::atomic<std::size_t> sent{0};
    std::atomic<long> peakKiB{baseKiB};
    std::thread watch([&] {
        while (!stop) {
            auto t = watcher->ReadTransaction(200);
            if (!t || t->hdr.isReply || t->hdr.type != kTranClientLeft) continue;
            auto f = ParseFieldList(t->data);
            if (f && FindField(*f, kFieldUserID) && FindField(*f, kFieldUserID)->Int() == silentID) dropped = true;
        }
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < kSenders; ++i) {
        threads.emplace_back([&, i] {  // drains this sender's copy of the notices
            std::vector<char> buf(1 << 16);
            while (!stop) {
                if (recv(senders[i]->Fd(), buf.data(), buf.size(), MSG_DONTWAIT) <= 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        threads.emplace_back([&, i] {
            // Keeps sending until the silent member is gone, then as much again as the cap, so
            // that memory would keep growing if the server kept queueing for anyone.
            std::uint64_t serial = static_cast<std::uint64_t>(i) << 40;
            std::size_t afterDrop = 0;
            while (!stop && sent < kMaxSentBytes && afterDrop < (kCapKiB << 10) / kSenders) {
                const Bytes req = SubjectRequest(chatID, serial++);
                if (senders[i]->SendRequest(kTranSetChatSubject, req) == 0) break;
                sent += req.size();
                if (dropped) afterDrop += req.size();
            }
        });
    }
    for (int i = 0; i < kSenders; ++i) {
        threads[2 * i + 1].join();
        const long now = ResidentKiB(server.Pid());
        if (now > peakKiB) peakKiB = now;
    }
    // Samples while the others finish (the watcher is still reading).
    for (int i = 0; i < 50 && !dropped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peakKiB = std::max<long>(peakKiB, ResidentKiB(server.Pid()));
    stop = true;
    watch.join();
    for (int i = 0; i < kSenders; ++i) threads[2 * i].join();

    EXPECT_TRUE(dropped) << "sent " << sent << " bytes and the silent member is still there; running "
                         << server.IsRunning() << "\n" << server.StdOut() << server.StdErr();
    EXPECT_LT(peakKiB - baseKiB, kCapKiB + kMarginKiB) << "base " << baseKiB << " KiB, peak " << peakKiB << " KiB";

    // The silent member's connection was closed: whatever the kernel still holds, then the end.
    std::size_t discarded = 0;
    EXPECT_TRUE(silent->WaitClosed(10000, &discarded));

    // The others are still served, and the user list no longer holds the silent member.
    EXPECT_EQ(UserIDByName(*watcher, "silent"), 0);
    const std::uint32_t ping = senders[1]->SendRequest(kTranKeepConnectionAlive, CFieldListBuilder().Build());
    auto pong = senders[1]->ReadReplyTo(ping, 10000);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->hdr.error, 0u);
    EXPECT_TRUE(server.IsRunning());
}

}  // namespace
}  // namespace kx::test
