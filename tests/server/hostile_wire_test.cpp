// Hostile clients all at once against the real server binary, in real time: one trickling its
// handshake and a request a byte a second, hundreds of connections that log in and then sit
// there, hundreds more from a single address (the connection-flood rule bans it), and one
// sending the largest requests the server accepts, back to back. Meanwhile an ordinary client
// keeps asking, and each of its requests must be answered promptly; afterwards every hostile
// client that stayed within the rules has been served too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "framework/byte_codec.h"
#include "fs/file_path.h"
#include "server/wire_session.h"

namespace kx::test {
namespace {

constexpr int kPromptMs = 3000;          // an answer later than this counts as service degraded
constexpr int kLoggedInCrowd = 150;      // logged-in connections, each from its own address
constexpr int kOneAddressCrowd = 150;    // connections from one address
const char* const kFloodAddress = "127.0.1.1";  // outside the range NextLoopbackSource hands out
constexpr int kMaximalRequests = 100;
constexpr std::size_t kMaxRequestData = 524288;

// A field list of exactly kMaxRequestData bytes: deep path data of the longest components,
// news path data, then filler fields.
Bytes MaximalFields() {
    std::vector<std::string> components(255, std::string(255, 'x'));
    Bytes path = UFilePath::Build(components);
    path.resize(65535);
    CFieldListBuilder b;
    b.Add(kFieldFilePath, path).Add(kFieldNewsPath, path);
    for (int i = 0; i < 5; ++i) b.Add(kFieldData, std::string(65535, static_cast<char>('a' + i)));
    Bytes out = b.Build();
    // Fill up to the limit with one last field.
    const std::size_t room = kMaxRequestData - out.size() - 4;
    Bytes last = CFieldListBuilder().Add(kFieldUserName, std::string(room, 'z')).Build();
    out[1] = static_cast<std::uint8_t>(out[1] + 1);
    out.insert(out.end(), last.begin() + 2, last.end());
    return out;
}

TEST(HostileClientsWire, OthersAreAnsweredPromptlyWhileHostileClientsRun) {
    TempDir dir;
    const std::string program = dir / "Server";
    const unsigned short port = WriteOpenPrefs(program);
    WriteAccount(program, "member", "pw", kFullAccessPrivs);
    UFileUtil::EnsureDirectory(program + "/Files");
    ServerProcess server(program, false, port);
    ASSERT_TRUE(server.Start()) << server.StdOut() << server.StdErr();

    auto observer = LogInOverWire(port, "member", "pw", "observer");
    ASSERT_TRUE(observer);
    std::atomic<int> hostileDone{0};
    constexpr int kHostileThreads = 3;

    // The flood from one address goes first, alone: an admission from another address in
    // between would restart its count.
    std::atomic<bool> floodDone{false};
    auto waitForFlood = [&] {
        while (!floodDone) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };

    // A byte a second: the first bytes of the handshake, then (after the rest) a login, then
    // the first bytes of a request; each time the rest follows at once.
    std::optional<std::uint32_t> trickledEstablish;
    std::optional<STestTransaction> trickledReply;
    std::thread trickler([&] {
        waitForFlood();
        CTestClient c(10000);
        c.SetSourceAddress(NextLoopbackSource());
        if (c.Connect(port)) {
            const Bytes establish = EstablishRequest();
            for (int i = 0; i < 2; ++i) {
                c.SendRaw(Bytes{establish[i]});
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
            c.SendRaw(Bytes(establish.begin() + 2, establish.end()));
            auto reply = c.ReadExact(8);
            if (reply) trickledEstablish = GetBE32(reply->data() + 4);
            const Bytes login = CFieldListBuilder()
                                    .Add(kFieldUserLogin, UUserData::Complement("member"))
                                    .Add(kFieldUserPassword, UUserData::Complement("pw"))
                                    .Add(kFieldUserName, "trickler")
                                    .AddInt(kFieldIconID, 128)
                                    .Build();
            const std::uint32_t loginID = c.SendRequest(kTranLogin, login);
            if (auto r = c.ReadReplyTo(loginID); r && r->hdr.error == 0) {
                const Bytes request = EncodeRequest(kTranGetUserNameList, 77, CFieldListBuilder().Build());
                for (int i = 0; i < 3; ++i) {
                    c.SendRaw(Bytes{request[i]});
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                }
                c.SendRaw(Bytes(request.begin() + 3, request.end()));
                trickledReply = c.ReadReplyTo(77);
            }
        }
        ++hostileDone;
    });

    // Hundreds of connections: from one address, which the flood rule bans after eleven in a
    // row (each gets its handshake reply, the refused ones then the close), and logged in from
    // many addresses and left silent.
    std::vector<std::unique_ptr<CTestClient>> crowd, oneAddress;
    int handshakes = 0;
    std::thread crowder([&] {
        for (int i = 0; i < kOneAddressCrowd; ++i) {
            auto c = std::make_unique<CTestClient>(kPromptMs);
            c->SetSourceAddress(kFloodAddress);
            if (c->Connect(port) && c->SendRaw(EstablishRequest())) oneAddress.push_back(std::move(c));
        }
        for (auto& c : oneAddress) {
            auto reply = c->ReadExact(8);
            if (reply && *reply == (Bytes{'T', 'R', 'T', 'P', 0, 0, 0, 0})) ++handshakes;
        }
        floodDone = true;
        for (int i = 0; i < kLoggedInCrowd; ++i) {
            auto c = LogInOverWire(port, "member", "pw", "crowd" + std::to_string(i), NextLoopbackSource());
            if (c) crowd.push_back(std::move(c));
        }
        ++hostileDone;
    });

    // The largest requests accepted, one after the other, each answered.
    int maximalAnswered = 0;
    std::thread maximal([&] {
        waitForFlood();
        auto c = LogInOverWire(port, "member", "pw", "maximal", NextLoopbackSource());
        const Bytes fields = MaximalFields();
        const std::uint16_t types[] = {kTranGetFileNameList, kTranGetNewsCatNameList, kTranGetFileInfo, 999};
        for (int i = 0; c && i < kMaximalRequests; ++i) {
            const std::uint32_t id = c->SendRequest(types[i % 4], fields);
            if (id == 0 || !c->ReadReplyTo(id, 10000)) break;
            ++maximalAnswered;
        }
        ++hostileDone;
    });

    // The observer: requests one after another, each answered in time, until the others finish.
    int asked = 0, late = 0;
    while (hostileDone < kHostileThreads && asked < 110) {  // the request-rate rule allows 120 a minute
        const std::uint16_t type = asked % 2 ? kTranGetUserNameList : kTranKeepConnectionAlive;
        const std::uint32_t id = observer->SendRequest(type, CFieldListBuilder().Build());
        auto reply = observer->ReadReplyTo(id, kPromptMs);
        ++asked;
        if (!reply || reply->hdr.error != 0) ++late;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    trickler.join();
    crowder.join();
    maximal.join();
    EXPECT_EQ(late, 0) << "of " << asked << " requests";
    EXPECT_GT(asked, 20);

    EXPECT_EQ(trickledEstablish, std::optional<std::uint32_t>(0));
    ASSERT_TRUE(trickledReply);
    EXPECT_EQ(trickledReply->hdr.error, 0u);
    EXPECT_EQ(maximalAnswered, kMaximalRequests);
    EXPECT_EQ(static_cast<int>(crowd.size()), kLoggedInCrowd);

    // From the one address: eleven admitted, then banned; the rest are closed.
    EXPECT_EQ(handshakes, kOneAddressCrowd);
    int closed = 0;
    for (auto& c : oneAddress) {
        std::size_t ignored = 0;
        if (c->WaitClosed(50, &ignored)) ++closed;
    }
    EXPECT_EQ(closed, kOneAddressCrowd - 11);
    const std::string log = server.StdOut();
    const std::size_t ban = log.find("Autobanned for flooding");
    ASSERT_NE(ban, std::string::npos);
    const std::size_t lineStart = log.rfind('\n', ban);
    EXPECT_NE(log.substr(lineStart + 1, ban - lineStart).find(kFloodAddress), std::string::npos) << log.substr(lineStart + 1, 100);

    // The observer and the crowd are still listed (the trickler and the maximal sender left).
    const std::uint32_t id = observer->SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    auto list = observer->ReadReplyTo(id, kPromptMs);
    ASSERT_TRUE(list);
    auto fields = ParseFieldList(list->data);
    ASSERT_TRUE(fields);
    EXPECT_EQ(std::count_if(fields->begin(), fields->end(), [](const STestField& f) { return f.id == kFieldUserNameWithInfo; }),
              kLoggedInCrowd + 1);
    EXPECT_TRUE(server.IsRunning());
    EXPECT_EQ(server.StdErr().find("ERROR: AddressSanitizer"), std::string::npos) << server.StdErr();
}

}  // namespace
}  // namespace kx::test
