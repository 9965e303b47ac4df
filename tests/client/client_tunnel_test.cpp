// The client over the HTTP tunnel: a session against the real server gives what the same session
// gives over TCP (a chat line, an article larger than one package both ways, a refused login),
// and a fake server's refusals and disconnect block end the run with the connection's exit code,
// as unusable proxy addresses end it as bad arguments.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "client/client_fixture.h"
#include "news/news_database.h"

namespace kx {
namespace {

using test::RunClientBinary;
using test::SClientResult;

class CliTunnel : public test::ClientFixture {};

TEST_F(CliTunnel, ASessionThroughTheTunnelMatchesOneOverTcp) {
    // The chat waits on the tunnel's GET socket and standard input at once.
    test::ClientProcess chat(
        {"--tunnel", "--login", "admin", "--password-file", dir / "pw", "--name", "listener", host, "chat"});
    ASSERT_TRUE(chat.WaitForOutput("* Connected.")) << chat.Output();

    SClientResult users = Admin({"--tunnel", "users"}, "", "tunneller");
    ASSERT_EQ(users.exitCode, 0) << users.err;
    EXPECT_NE(users.out.find("\ttunneller (admin)\n"), std::string::npos) << users.out;
    EXPECT_NE(users.out.find("\tlistener (admin)\n"), std::string::npos) << users.out;

    ASSERT_EQ(Admin({"--tunnel", "say", "through the tunnel"}, "", "tunneller").exitCode, 0);
    EXPECT_TRUE(chat.WaitForOutput("    tunneller:  through the tunnel\n")) << chat.Output();
    ASSERT_EQ(Admin({"say", "over tcp"}, "", "plain").exitCode, 0);
    EXPECT_TRUE(chat.WaitForOutput("        plain:  over tcp\n")) << chat.Output();
    ASSERT_TRUE(chat.Write("/me waves back\n"));

    // More than one 14336-byte package in each direction: one data block out, several reads in.
    test::fs::create_directories(dir / "News");
    UMyNewsDatabase::CreateNewGroup(dir / "News/General.knz", "General", "");
    std::string big;
    for (int i = 0; big.size() < 20000; ++i) big += "line " + std::to_string(i) + " of a long article\n";
    SClientResult post = Admin({"--tunnel", "news", "post", "General.knz", "Long", "-"}, big);
    ASSERT_EQ(post.exitCode, 0) << post.err;
    SClientResult viaTunnel = Admin({"--tunnel", "news", "read", "General.knz", "1"});
    SClientResult viaTcp = Admin({"news", "read", "General.knz", "1"});
    ASSERT_EQ(viaTunnel.exitCode, 0) << viaTunnel.err;
    EXPECT_EQ(viaTunnel.out, viaTcp.out);
    EXPECT_EQ(viaTunnel.out, "Title: Long\nPoster: op\n\n" + big);

    SClientResult refused = RunClientBinary({"--tunnel", "--login", "admin", host, "users"}, "",
                                            {{"KESTRIX_PASSWORD", "nope"}});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_EQ(refused.err, "kestrix: Incorrect login.\n");

    ASSERT_TRUE(chat.Write("/quit\n"));
    EXPECT_EQ(chat.Wait(), 0);
    EXPECT_NE(chat.Output().find(" *** listener waves back\n"), std::string::npos) << chat.Output();
}

// A stand-in for the server's tunnel port: accepts the GET and the POST and answers each with
// `answer`, then keeps them open until the client is gone.
class FakeTunnelServer {
public:
    explicit FakeTunnelServer(std::string answer) : mAnswer(std::move(answer)) {
        mListen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(mListen, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(mListen, reinterpret_cast<sockaddr*>(&sa), &len);
        mPort = ntohs(sa.sin_port);
        ::listen(mListen, 4);
        mThread = std::thread([this] {
            for (int& fd : mConns) {
                fd = ::accept(mListen, nullptr, nullptr);
                if (fd < 0) return;
                ::send(fd, mAnswer.data(), mAnswer.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~FakeTunnelServer() {
        ::shutdown(mListen, SHUT_RDWR);
        mThread.join();
        for (int fd : mConns)
            if (fd >= 0) ::close(fd);
        ::close(mListen);
    }
    // The base port a client is given so that its tunnel port (+ 2) is ours.
    std::string HostForClient() const { return "127.0.0.1:" + std::to_string(mPort - 2); }

private:
    std::string mAnswer;
    int mListen = -1;
    unsigned short mPort = 0;
    int mConns[2] = {-1, -1};
    std::thread mThread;
};

TEST(CliTunnelFailures, RefusalsAndADisconnectBlockAreLostConnections) {
    // Proxy addresses the client cannot use are bad arguments, seen before anything connects.
    const std::vector<std::pair<std::string, std::string>> badProxies = {
        {"user:pw@p:3128", "Proxy credentials are not supported (--proxy)"},
        {"https://p:3128", "Only http:// proxies can carry the tunnel (--proxy): https://p:3128"},
        {"p:70000", "Invalid proxy port: 70000"},
        {"::1:3128", "Invalid proxy address (--proxy), write an IPv6 address in brackets: ::1:3128"},
    };
    for (const auto& [proxy, why] : badProxies) {
        SClientResult r = RunClientBinary({"--proxy", proxy, "127.0.0.1", "users"});
        EXPECT_EQ(r.exitCode, 2) << proxy;
        EXPECT_EQ(r.err, "kestrix: " + why + "\nTry kestrix --help\n");
    }
    SClientResult socks = RunClientBinary({"--tunnel", "127.0.0.1", "users"}, "", {{"http_proxy", "socks5://p:1080"}});
    EXPECT_EQ(socks.err, "kestrix: Only http:// proxies can carry the tunnel (http_proxy): socks5://p:1080\n"
                         "Try kestrix --help\n");
    {
        FakeTunnelServer fake("HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
        SClientResult r = RunClientBinary({"--tunnel", fake.HostForClient(), "users"});
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.err, "kestrix: The server refused the tunnel: HTTP/1.0 403 Forbidden\n");
    }
    {
        // The answer, a padding block, then a disconnect block where the establish reply should be.
        std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
        answer += std::string("\0\0\0\2\0\0\0\3\0\0\0", 11);
        answer += std::string(8, '\0');
        FakeTunnelServer fake(answer);
        SClientResult r = RunClientBinary({"--tunnel", fake.HostForClient(), "users"});
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.err, "kestrix: The connection to the server was lost.\n");
    }
    {
        // A data block announcing more than any unit could need.
        std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
        answer += std::string("\0\0\0\1\x7f\0\0\0", 8);
        FakeTunnelServer fake(answer);
        SClientResult r = RunClientBinary({"--tunnel", fake.HostForClient(), "users"});
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.err, "kestrix: The server sent a damaged tunnel block.\n");
    }
}

}  // namespace
}  // namespace kx
