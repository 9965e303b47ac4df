// Hostile clients all at once against the real server binary: one trickling its handshake and a
// request a byte at a time, hundreds of connections that log in and then sit there, hundreds
// more from a single address (the connection-flood rule bans it), and one sending the largest
// requests the server accepts, back to back. Meanwhile an ordinary client keeps asking, and each
// of its requests is answered; the trickler sends its next byte only once the ordinary client
// has been answered while the previous one was all the server had of its message, so a server
// that waited for the rest of a message would starve the ordinary client and fail the test,
// however fast or slow the machine. Afterwards every hostile client that stayed within the rules
// has been served too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "framework/byte_codec.h"
#include "fs/file_path.h"
#include "server/wire_session.h"

namespace kx::test {
namespace {

constexpr int kAnswerMs = 30000;         // no answer within this is a server that stopped serving
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

    // The observer's answers so far; the trickler waits for the next one between its bytes.
    std::atomic<int> answered{0};
    std::atomic<int> starved{0};
    auto waitForAnAnswer = [&] {
        const int before = answered;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
        while (answered == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (answered == before) ++starved;
    };

    // A byte at a time: the first bytes of the handshake, then (after the rest) a login, then
    // the first bytes of a request; each time the rest follows at once.
    std::optional<std::uint32_t> trickledEstablish;
    std::optional<STestTransaction> trickledReply;
    std::thread trickler([&] {
        waitForFlood();
        CTestClient c(kAnswerMs);
        c.SetSourceAddress(NextLoopbackSource());
        if (c.Connect(port)) {
            const Bytes establish = EstablishRequest();
            for (int i = 0; i < 2; ++i) {
                c.SendRaw(Bytes{establish[i]});
                waitForAnAnswer();
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
                    waitForAnAnswer();
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
            auto c = std::make_unique<CTestClient>(kAnswerMs);
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
            if (id == 0 || !c->ReadReplyTo(id, kAnswerMs)) break;
            ++maximalAnswered;
        }
        ++hostileDone;
    });

    // The observer: requests one after another, each answered, from the end of the flood until
    // the others finish.
    waitForFlood();
    int asked = 0, unanswered = 0;
    while (hostileDone < kHostileThreads && asked < 110) {  // the request-rate rule allows 120 a minute
        const std::uint16_t type = asked % 2 ? kTranGetUserNameList : kTranKeepConnectionAlive;
        const std::uint32_t id = observer->SendRequest(type, CFieldListBuilder().Build());
        auto reply = observer->ReadReplyTo(id, kAnswerMs);
        ++asked;
        if (!reply || reply->hdr.error != 0) ++unanswered;
        else ++answered;
        // Paced so that 110 requests span more than the trickler needs, whatever the machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    trickler.join();
    crowder.join();
    maximal.join();
    EXPECT_EQ(unanswered, 0) << "of " << asked << " requests";
    EXPECT_EQ(starved, 0) << "the ordinary client went unanswered while the trickler's message was partial";

    EXPECT_EQ(trickledEstablish, std::optional<std::uint32_t>(0));
    ASSERT_TRUE(trickledReply);
    EXPECT_EQ(trickledReply->hdr.error, 0u);
    EXPECT_EQ(maximalAnswered, kMaximalRequests);
    EXPECT_EQ(static_cast<int>(crowd.size()), kLoggedInCrowd);

    // From the one address: eleven admitted, then banned; the rest are closed. The newest are
    // the banned ones, waited for; the eleven oldest must still be open.
    EXPECT_EQ(handshakes, kOneAddressCrowd);
    int closed = 0;
    for (std::size_t i = oneAddress.size(); i-- > 0;) {
        std::size_t ignored = 0;
        const bool expectClosed = oneAddress.size() - i <= static_cast<std::size_t>(kOneAddressCrowd - 11);
        if (oneAddress[i]->WaitClosed(expectClosed ? kAnswerMs : 50, &ignored)) ++closed;
    }
    EXPECT_EQ(closed, kOneAddressCrowd - 11);
    const std::string log = server.StdOut();
    const std::size_t ban = log.find("Autobanned for flooding");
    ASSERT_NE(ban, std::string::npos);
    const std::size_t lineStart = log.rfind('\n', ban);
    EXPECT_NE(log.substr(lineStart + 1, ban - lineStart).find(kFloodAddress), std::string::npos) << log.substr(lineStart + 1, 100);

    // The observer and the crowd are still listed (the trickler and the maximal sender left).
    const std::uint32_t id = observer->SendRequest(kTranGetUserNameList, CFieldListBuilder().Build());
    auto list = observer->ReadReplyTo(id, kAnswerMs);
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
