// File transfers of the command-line client through the HTTP tunnel against the real server,
// reached through a relay that passes only the tunnel ports: a download and an upload of several
// blocks arrive byte for byte and end cleanly on the server's disconnect block, and a folder goes
// up and down with the item dialogue's units (item headers, actions, resume records) each in
// their own block, finished items skipped and partial ones resumed. Then a session and a
// download through a real squid, named by --proxy or by the environment.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "client/client_fixture.h"
#include "client/client_session.h"
#include "support/squid_proxy.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::RunClientBinary;
using test::SClientResult;
using test::WriteFileText;

// Stands where a proxy that passes only HTTP would: the client is given a base port whose tunnel
// ports (+ 2, + 3) lead to the server's, while nothing answers on the base port and + 1, so a
// transfer that tried plain TCP could not connect.
class TunnelOnlyRelay {
public:
    explicit TunnelOnlyRelay(unsigned short serverBase) : mBase(test::FindFreeBasePort()) {
        for (int i = 0; i < 2; ++i) {
            mTarget[i] = static_cast<unsigned short>(serverBase + 2 + i);
            mListen[i] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(mListen[i], SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            const sockaddr_in sa = Loopback(static_cast<unsigned short>(mBase + 2 + i));
            mOk = mOk && ::bind(mListen[i], reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
                  ::listen(mListen[i], 8) == 0;
        }
        mOk = mOk && ::pipe(mStop) == 0;
        if (mOk) mThread = std::thread([this] { Run(); });
    }
    ~TunnelOnlyRelay() {
        if (mThread.joinable()) {
            (void)!::write(mStop[1], "x", 1);
            mThread.join();
        }
        for (int fd : {mListen[0], mListen[1], mStop[0], mStop[1]})
            if (fd >= 0) ::close(fd);
    }
    bool Ok() const { return mOk; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(mBase); }

private:
    // One relayed connection: bytes from fd[0] go to fd[1] and back; open[d] while direction d
    // (0: client to server) has not ended.
    struct SPair {
        int fd[2];
        bool open[2] = {true, true};
    };

    static sockaddr_in Loopback(unsigned short port) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sa;
    }

    void Run() {
        std::vector<SPair> pairs;
        std::vector<char> buf(65536);
        for (;;) {
            std::vector<pollfd> p = {{mStop[0], POLLIN, 0}, {mListen[0], POLLIN, 0}, {mListen[1], POLLIN, 0}};
            for (const SPair& c : pairs)
                for (int d = 0; d < 2; ++d) p.push_back({c.open[d] ? c.fd[d] : -1, POLLIN, 0});
            if (::poll(p.data(), p.size(), -1) < 0) continue;
            if (p[0].revents) break;
            for (std::size_t k = 0; k < pairs.size(); ++k) {
                SPair& c = pairs[k];
                for (int d = 0; d < 2; ++d) {
                    if (!c.open[d] || !p[3 + 2 * k + d].revents) continue;
                    const ssize_t n = ::recv(c.fd[d], buf.data(), buf.size(), 0);
                    const auto size = static_cast<std::size_t>(n);
                    if (n > 0 && ::send(c.fd[1 - d], buf.data(), size, MSG_NOSIGNAL) == n) continue;
                    c.open[d] = false;
                    ::shutdown(c.fd[1 - d], SHUT_WR);
                }
            }
            for (std::size_t k = pairs.size(); k-- > 0;) {
                if (pairs[k].open[0] || pairs[k].open[1]) continue;
                ::close(pairs[k].fd[0]);
                ::close(pairs[k].fd[1]);
                pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(k));
            }
            for (int i = 0; i < 2; ++i) {
                if (!p[1 + i].revents) continue;
                const int in = ::accept4(mListen[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (in < 0) continue;
                const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in sa = Loopback(mTarget[i]);
                if (::connect(out, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
                    ::close(in);
                    ::close(out);
                    continue;
                }
                pairs.push_back({{in, out}});
            }
        }
        for (const SPair& c : pairs) {
            ::close(c.fd[0]);
            ::close(c.fd[1]);
        }
    }

    unsigned short mBase;
    unsigned short mTarget[2] = {};
    int mListen[2] = {-1, -1};
    int mStop[2] = {-1, -1};
    bool mOk = true;
    std::thread mThread;
};

class CliTunnelTransfer : public test::ClientFixture {
protected:
    void SetUp() override {
        test::ClientFixture::SetUp();
        relay = std::make_unique<TunnelOnlyRelay>(server->Port());
        ASSERT_TRUE(relay->Ok());
    }

    SClientResult Tunnelled(const std::string& name, std::vector<std::string> command) {
        std::vector<std::string> all = {"--tunnel", "--login", "admin", "--password-file", dir / "pw",
                                        "--name",   name,       relay->Host()};
        all.insert(all.end(), command.begin(), command.end());
        return RunClientBinary(all);
    }

    std::unique_ptr<TunnelOnlyRelay> relay;
};

TEST_F(CliTunnelTransfer, GetAndPutArriveByteIdenticalAndEndCleanly) {
    // Larger than an upload block (64 KiB) and not a multiple of it or of a tunnel package.
    const std::string big = test::PatternBytes(300001, 1);
    WriteFileText(dir / "Files/big.bin", big);
    const std::string dl = dir / "dl";
    fs::create_directories(dl);

    SClientResult got = Tunnelled("getter", {"get", "big.bin", dl});
    ASSERT_EQ(got.exitCode, 0) << got.err;
    EXPECT_EQ(got.out, "Downloaded big.bin to " + dl + "/big.bin (300001 bytes)\n");
    EXPECT_TRUE(ReadFileText(dl + "/big.bin") == big);
    EXPECT_FALSE(fs::exists(dl + "/big.bin.kpf"));

    fs::create_directories(dir / "Files/Uploads");
    const std::string data = test::PatternBytes(200003, 2);
    const std::string local = dir / "up.bin";
    WriteFileText(local, data);
    SClientResult put = Tunnelled("putter", {"--json", "put", local, "Uploads"});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    EXPECT_EQ(put.out,
              "{\"local\":" + JsonString(local) + ",\"remote\":\"Uploads/up.bin\",\"size\":200003,\"resumedAt\":0}\n");
    EXPECT_TRUE(ReadFileText(dir / "Files/Uploads/up.bin") == data);
    EXPECT_FALSE(fs::exists(dir / "Files/Uploads/up.bin.kpf"));
    EXPECT_TRUE(server->WaitForOutput("Upload complete")) << server->StdOut();
}

TEST_F(CliTunnelTransfer, FolderRoundTripSkipsFinishedItemsAndResumesPartialOnes) {
    // The server sends its resume record for the partial upload through the tunnel.
    const std::string src = TreeWithLeftovers(150000, "zero.txt", "");
    const std::string up = dir / "Files/Uploads/Tree";
    SClientResult sent = Tunnelled("putdir", {"--json", "putdir", src, "Uploads"});
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "{\"from\":" + JsonString(src) +
                            ",\"to\":\"Uploads/Tree\",\"files\":3,\"folders\":3,\"skipped\":1,\"resumed\":1}\n");
    EXPECT_EQ(test::FileTree(up), test::FileTree(src));

    // On the way down the client sends the resume record: an action, its size and the record.
    const std::string out = dir / "out";
    SClientResult got = Tunnelled("getdir", {"getdir", "Uploads/Tree", out});
    ASSERT_EQ(got.exitCode, 0) << got.err;
    EXPECT_EQ(got.out, "Downloaded Uploads/Tree to " + out + "/Tree: 3 files, 3 folders, 1 skipped, 1 resumed\n");
    EXPECT_EQ(test::FileTree(out + "/Tree"), test::FileTree(src));
}

// The same through a real forward proxy, which passes the tunnel's requests on as HTTP/1.1.
class CliTunnelProxy : public test::ClientFixture {
protected:
    void SetUp() override {
        if (test::SquidProxy::Binary().empty()) GTEST_SKIP() << "squid is not installed (make deps installs it)";
        test::ClientFixture::SetUp();
        ASSERT_TRUE(squid.Start()) << squid.Log();
    }

    SClientResult Run(const std::string& name, std::vector<std::string> command,
                      const std::map<std::string, std::string>& env = {}) {
        std::vector<std::string> all = {"--login", "admin", "--password-file", dir / "pw", "--name", name, host};
        all.insert(all.end(), command.begin(), command.end());
        return RunClientBinary(all, "", env);
    }

    test::SquidProxy squid;
};

TEST_F(CliTunnelProxy, ASessionAndADownloadPassThroughSquid) {
    SClientResult users = Run("proxied", {"--proxy", squid.Address(), "users"});
    ASSERT_EQ(users.exitCode, 0) << users.err << squid.Log();
    EXPECT_NE(users.out.find("\tproxied (admin)\n"), std::string::npos) << users.out;

    // The proxy from the environment; the transfer has a tunnel of its own (base port + 3).
    const std::string big = test::PatternBytes(300001, 4);
    WriteFileText(dir / "Files/big.bin", big);
    const std::string dl = dir / "dl";
    fs::create_directories(dl);
    SClientResult got =
        Run("getter", {"--tunnel", "get", "big.bin", dl}, {{"http_proxy", "http://" + squid.Address() + "/"}});
    ASSERT_EQ(got.exitCode, 0) << got.err << squid.Log();
    EXPECT_TRUE(ReadFileText(dl + "/big.bin") == big);

    // HTTP_PROXY is honoured too, unless no_proxy names the server.
    const std::map<std::string, std::string> nowhere = {{"HTTP_PROXY", "127.0.0.1:1"}};
    SClientResult refused = Run("nowhere", {"--tunnel", "users"}, nowhere);
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_EQ(refused.err, "kestrix: Cannot connect to 127.0.0.1:1: Connection refused\n");
    std::map<std::string, std::string> direct = nowhere;
    direct["no_proxy"] = "localhost, 127.0.0.1";
    EXPECT_EQ(Run("direct", {"--tunnel", "users"}, direct).exitCode, 0);
}

}  // namespace
}  // namespace kx
