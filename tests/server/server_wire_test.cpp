// The whole server from outside: the real binary's command line, start-up lines and four
// listeners, an orderly quit on SIGTERM that writes "pref"; and, in-process, a client reaching
// the application through the HTTP tunnel listener (also through a real squid, with a
// download on the transfer tunnel) and the quitting state.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "framework/file_util.h"
#include "protocol/transaction_types.h"
#include "protocol/user_access.h"
#include "server/app_fixture.h"
#include "support/http_tunnel_client.h"
#include "support/server_process.h"
#include "support/squid_proxy.h"
#include "support/test_client.h"

namespace kx::test {
namespace {

std::string RunCapture(const std::string& args) {
    std::string out;
    FILE* p = popen((std::string(KX_SERVER_BINARY) + " " + args + " 2>&1").c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    return out;
}

TEST(ServerBinary, HelpAndVersion) {
    EXPECT_NE(RunCapture("--help").find("Usage: kestrix-server [--dir DIR]"), std::string::npos);
    EXPECT_EQ(RunCapture("--version"), "kestrix-server 1.9.2\n");
    EXPECT_NE(RunCapture("--bogus").find("unknown argument '--bogus'"), std::string::npos);
}

TEST(ServerBinary, ListensOnFourPortsLogsItsStartAndQuitsInOrder) {
    TempDir dir;
    ServerProcess server(dir.Path());
    ASSERT_TRUE(server.Start()) << server.StdOut() << server.StdErr();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(CanConnect(static_cast<unsigned short>(server.Port() + i))) << i;

    const std::string out = server.StdOut();
    EXPECT_NE(out.find("Kestrix Server       1.9.2\n"), std::string::npos) << out;
    EXPECT_NE(out.find(":" + std::to_string(server.Port()) + " "), std::string::npos) << out;
    // The start line comes once the encrypted and metrics listeners are open too.
    const std::size_t started = out.find("Kestrix Server started\n");
    ASSERT_NE(started, std::string::npos) << out;
    EXPECT_GT(started, out.find("/metrics\n")) << out;
    EXPECT_TRUE(CanConnect(static_cast<unsigned short>(server.Port() + 4)));

    std::remove((dir / "pref").c_str());
    const int status = server.Stop();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    SMyPrefs prefs;
    EXPECT_TRUE(UMyPrefs::ReadPrefs(dir / "pref", prefs)) << "quit must write the options file";
    EXPECT_EQ(prefs.mOptions.nBasePortNum, server.Port());
    EXPECT_EQ(server.StdErr().find("ERROR"), std::string::npos) << server.StdErr();
}

TEST(ServerBinary, PortInUseIsLoggedAndTheServerRunsOn) {
    TempDir dir;
    const unsigned short port = FindFreeBasePort();
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port + 1));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ServerProcess server(dir.Path(), true, port);
    EXPECT_FALSE(server.Start());  // logs that it cannot listen, and runs on
    EXPECT_TRUE(server.IsRunning());
    EXPECT_FALSE(CanConnect(port));
    EXPECT_EQ(server.StdOut().find("Kestrix Server started"), std::string::npos) << server.StdOut();
    EXPECT_NE(server.StdOut().find("Server Error         Please change the \"Server IP\" or \"Server port number\" "
                                   "from \"Options/General\" and restart the server"),
              std::string::npos)
        << server.StdOut();
    close(blocker);
    const int status = server.Stop();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

class TunnelIntakeTest : public AppFixture {};

TEST_F(TunnelIntakeTest, ClientThroughTheTunnelListenerIsAdmitted) {
    const auto tunnelPort = static_cast<std::uint16_t>(mPort + 2);
    const std::string id = TunnelIdentifier(7);
    CRawHttpConnection get, post;
    ASSERT_TRUE(get.Connect(tunnelPort));
    ASSERT_TRUE(post.Connect(tunnelPort));
    ASSERT_TRUE(get.Send(GetRequestText(id, tunnelPort)));
    ASSERT_TRUE(post.Send(PostOpening(id, tunnelPort)));
    ASSERT_TRUE(post.Send(DataBlock(EstablishRequest("KSTX", 2))));
    SGetStream stream;
    ASSERT_TRUE(PumpUntil([&] {
        get.Poll();
        stream = ParseGetStream(get.Received());
        return stream.data.size() >= 8;
    }));
    EXPECT_EQ(HBytes(stream.data.begin(), stream.data.begin() + 8), (HBytes{'T', 'R', 'T', 'P', 0, 0, 0, 0}));
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
}

// One tunnel of the raw test client whose requests go to `via` (the server's tunnel port, or a
// proxy) and name the server's tunnel port `port`.
struct STestTunnel {
    CRawHttpConnection get, post;
    bool Open(std::uint16_t via, std::uint16_t port, const std::string& id) {
        return get.Connect(via) && get.Send(GetRequestText(id, port)) && post.Connect(via) &&
               post.Send(PostOpening(id, port));
    }
    // The data payloads that have arrived on the GET so far.
    HBytes Data() {
        get.Poll();
        return ParseGetStream(get.Received()).data;
    }
};

TEST_F(TunnelIntakeTest, ASessionAndADownloadPassThroughSquidButHttp11StraightFromAClientDoesNot) {
    if (SquidProxy::Binary().empty()) GTEST_SKIP() << "squid is not installed (make deps installs it)";
    SquidProxy squid;
    ASSERT_TRUE(squid.Start()) << squid.Log();
    Bytes content(200000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    UFileUtil::EnsureDirectory(mDir / "Files");
    UFileUtil::WriteFileAtomic(mDir / "Files/proxied.bin", content);

    const auto tunnelPort = static_cast<std::uint16_t>(mPort + 2);
    STestTunnel session;
    ASSERT_TRUE(session.Open(squid.Port(), tunnelPort, TunnelIdentifier(21)));
    ASSERT_TRUE(session.post.Send(DataBlock(EstablishRequest("KSTX", 2))));
    HBytes data;
    ASSERT_TRUE(PumpUntil([&] { return (data = session.Data()).size() >= 8; }, 20000)) << squid.Log();
    EXPECT_EQ(HBytes(data.begin(), data.begin() + 8), (HBytes{'T', 'R', 'T', 'P', 0, 0, 0, 0}));
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest()->access.SetPriv(myAcc_DownloadFiles);
    const Bytes request = CFieldListBuilder().Add(kFieldFileName, "proxied.bin").Build();
    ASSERT_TRUE(session.post.Send(DataBlock(EncodeRequest(kTranDownloadFile, 1, request))));
    STestHeader reply;
    std::optional<std::vector<STestField>> fields;
    ASSERT_TRUE(PumpUntil([&] {
        data = session.Data();
        if (data.size() < 28) return false;
        reply = DecodeHeader(data.data() + 8);
        if (data.size() < 28 + reply.dataSize) return false;
        fields = ParseFieldList(Bytes(data.begin() + 28, data.begin() + 28 + reply.dataSize));
        return true;
    }, 20000));
    ASSERT_TRUE(fields);
    EXPECT_EQ(reply.isReply, 1);
    EXPECT_EQ(reply.error, 0u);
    const STestField* ref = FindField(*fields, kFieldRefNum);
    const STestField* size = FindField(*fields, kFieldTransferSize);
    ASSERT_TRUE(ref && size && size->Int());
    const auto total = static_cast<std::size_t>(*size->Int());

    // The transfer tunnel (base port + 3) through the same proxy.
    STestTunnel transfer;
    ASSERT_TRUE(transfer.Open(squid.Port(), static_cast<std::uint16_t>(mPort + 3), TunnelIdentifier(22)));
    Bytes header(16, 0);
    std::memcpy(header.data(), "KXXF", 4);
    std::copy_n(ref->data.begin(), std::min<std::size_t>(ref->data.size(), 4), header.begin() + 4);
    ASSERT_TRUE(transfer.post.Send(DataBlock(header)));
    ASSERT_TRUE(PumpUntil([&] { return (data = transfer.Data()).size() >= total; }, 30000)) << squid.Log();
    EXPECT_EQ(data.size(), total);
    EXPECT_EQ(std::string(data.begin(), data.begin() + 4), "FILP");
    EXPECT_TRUE(std::equal(content.begin(), content.end(), data.end() - std::ptrdiff_t(content.size())));

    // Without a proxy's Via, an HTTP/1.1 request is closed unanswered.
    CRawHttpConnection direct;
    ASSERT_TRUE(direct.Connect(tunnelPort));
    ASSERT_TRUE(direct.Send(GetRequestText(TunnelIdentifier(23), tunnelPort, "HTTP/1.1")));
    ASSERT_TRUE(PumpUntil([&] {
        direct.Poll();
        return direct.PeerClosed();
    }));
    EXPECT_TRUE(direct.Received().empty());
}

class QuittingTest : public AppFixture {};

TEST_F(QuittingTest, FarewellGoesToLoggedInClientsNewcomersAreClosedAndTheLastLeaverEndsIt) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    LogInNewest();
    ASSERT_TRUE(mApp->Options().nOpts & kMyOptConfirmQuit);
    mApp->UserQuit("Back soon");
    EXPECT_TRUE(mApp->IsQuitting());
    EXPECT_FALSE(mApp->HasQuit());
    Pump();
    auto notice = c->ReadTransaction(2000);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->hdr.type, kTranServerQuitting);
    EXPECT_EQ(ReplyOf(*notice).Text(kFieldData), "Back soon");

    CTestClient late(2000);
    ASSERT_TRUE(late.Connect(mPort));
    EXPECT_TRUE(ServerClosed(late));
    EXPECT_EQ(mApp->Clients().size(), 1u);

    c->Close();
    EXPECT_TRUE(PumpUntil([&] { return mApp->HasQuit(); }));
}

TEST_F(QuittingTest, QuitWithNobodyConnectedIsImmediate) {
    mApp->UserQuit("Bye");
    EXPECT_TRUE(mApp->HasQuit());
}

TEST_F(QuittingTest, CancelledQuitKeepsServing) {
    auto c = ConnectClient();
    ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
    mApp->UserQuit("Bye");
    ASSERT_TRUE(mApp->IsQuitting());
    mApp->CancelQuit();
    EXPECT_FALSE(mApp->IsQuitting());
    auto other = ConnectClient();
    EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 2; }));
}

}  // namespace
}  // namespace kx::test
