// Encrypted connections end to end: the real client with --tls against the real server, which
// made its own certificate on its first start. Trust on first contact, every kind of transfer
// (resume included) through the TLS ports, a changed certificate refused with its exit code after
// SIGHUP swapped it in (an open connection unharmed), and a broken certificate that leaves TLS
// off while the plain listeners serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>

#include "client/client_fixture.h"
#include "client/client_session.h"
#include "client/client_tls.h"
#include "net/tls_context.h"
#include "support/tls_test_client.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::RunClientBinary;
using test::SClientResult;
using test::WriteFileText;

// The fingerprint the server logged for the certificate it listens with.
std::string LoggedFingerprint(const test::ServerProcess& server) {
    const std::string out = server.StdOut();
    const std::size_t at = out.rfind("SHA256:");
    return at == std::string::npos ? std::string() : out.substr(at, 7 + 32 * 3 - 1);
}

class CliTls : public test::ClientFixture {
protected:
    void SetUp() override {
        test::ClientFixture::SetUp();
        tlsHost = "127.0.0.1:" + std::to_string(server->Port() + 4);
        env = {{"XDG_CONFIG_HOME", dir / "config"}};
    }

    SClientResult Tls(std::vector<std::string> args, const std::string& name = "tls") {
        std::vector<std::string> all = {"--tls", "--login", "admin", "--password-file", dir / "pw", "--name", name, tlsHost};
        all.insert(all.end(), args.begin(), args.end());
        return RunClientBinary(all, "", env);
    }

    std::string tlsHost;
    std::map<std::string, std::string> env;
};

TEST_F(CliTls, FirstContactIsAskedForThenEveryCommandAndTransferRunsEncrypted) {
    ASSERT_TRUE(server->WaitForOutput("Listening on ports")) << server->StdOut();
    const std::string fingerprint = LoggedFingerprint(*server);
    ASSERT_EQ(fingerprint.size(), 7u + 95u) << server->StdOut();
    EXPECT_TRUE(fs::exists(dir / "TLS/cert.pem"));
    EXPECT_EQ(fs::status(dir / "TLS/key.pem").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // Not a terminal and no --trust-new: refused, the fingerprint shown to compare.
    SClientResult first = Tls({"users"});
    EXPECT_EQ(first.exitCode, kExitCertificate);
    EXPECT_NE(first.err.find("is not known; its certificate fingerprint is " + fingerprint), std::string::npos) << first.err;
    EXPECT_FALSE(fs::exists(dir / "config/kestrix/known_servers"));

    SClientResult trusted = Tls({"--trust-new", "say", "hello over TLS"});
    ASSERT_EQ(trusted.exitCode, 0) << trusted.err;
    EXPECT_EQ(ReadFileText(dir / "config/kestrix/known_servers"), tlsHost + " " + fingerprint + "\n");
    EXPECT_TRUE(server->WaitForOutput("Downloads are encrypted by OpenSSL") ||
                server->WaitForOutput("Downloads use kernel TLS"));
    SClientResult users = Tls({"users"});
    ASSERT_EQ(users.exitCode, 0) << users.err;
    EXPECT_NE(users.out.find("tls"), std::string::npos) << users.out;

    // Downloads (fresh and resumed), an upload and a folder both ways, byte for byte.
    const std::string big = test::PatternBytes(3'000'017, 5);
    WriteFileText(dir / "Files/big.bin", big);
    const std::string dl = dir / "dl";
    fs::create_directories(dl);
    SClientResult got = Tls({"get", "big.bin", dl});
    ASSERT_EQ(got.exitCode, 0) << got.err;
    EXPECT_TRUE(ReadFileText(dl + "/big.bin") == big);
    fs::remove(dl + "/big.bin");
    WriteFileText(dl + "/big.bin.kpf", big.substr(0, 1'234'567));
    SClientResult resumed = Tls({"--json", "get", "big.bin", dl});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_NE(resumed.out.find("\"resumedAt\":1234567"), std::string::npos) << resumed.out;
    EXPECT_TRUE(ReadFileText(dl + "/big.bin") == big);

    fs::create_directories(dir / "Files/Uploads");
    const std::string data = test::PatternBytes(700'001, 6);
    WriteFileText(dir / "up.bin", data);
    SClientResult put = Tls({"put", dir / "up.bin", "Uploads"});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    EXPECT_TRUE(ReadFileText(dir / "Files/Uploads/up.bin") == data);

    const std::string src = dir / "src/Tree";
    fs::create_directories(src + "/sub");
    WriteFileText(src + "/a.txt", "alpha");
    WriteFileText(src + "/sub/b.bin", test::PatternBytes(400'000, 7));
    ASSERT_EQ(Tls({"putdir", src, "Uploads"}).exitCode, 0);
    const std::string out = dir / "out";
    fs::create_directories(out);
    SClientResult down = Tls({"getdir", "Uploads/Tree", out});
    ASSERT_EQ(down.exitCode, 0) << down.err;
    EXPECT_EQ(test::FileTree(out + "/Tree"), test::FileTree(src));
    EXPECT_EQ(server->StdErr().find("ERROR"), std::string::npos) << server->StdErr();
}

TEST_F(CliTls, SighupSwapsTheCertificateForNewConnectionsAndTheClientRefusesTheChange) {
    ASSERT_TRUE(server->WaitForOutput("Listening on ports")) << server->StdOut();
    const std::string before = LoggedFingerprint(*server);
    ASSERT_EQ(Tls({"--trust-new", "users"}).exitCode, 0);
    test::CTlsTestClient open;
    ASSERT_TRUE(open.Connect(static_cast<unsigned short>(server->Port() + 4))) << open.LastError();
    EXPECT_EQ(open.Fingerprint(), before);

    std::string error;
    ASSERT_TRUE(UTlsCertificate::CreateSelfSigned(dir / "TLS/cert.pem", dir / "TLS/key.pem", "Other", "other", error))
        << error;
    ASSERT_TRUE(server->Signal(SIGHUP));
    ASSERT_TRUE(server->WaitForOutput("Certificate reloaded for new connections")) << server->StdOut();
    const std::string after = LoggedFingerprint(*server);
    EXPECT_NE(after, before);
    EXPECT_TRUE(open.Establish()) << "the connection made before the reload still serves";
    test::CTlsTestClient fresh;
    ASSERT_TRUE(fresh.Connect(static_cast<unsigned short>(server->Port() + 4))) << fresh.LastError();
    EXPECT_EQ(fresh.Fingerprint(), after);

    SClientResult refused = Tls({"--trust-new", "users"});
    EXPECT_EQ(refused.exitCode, kExitCertificate);
    EXPECT_NE(refused.err.find("THE CERTIFICATE OF " + tlsHost + " HAS CHANGED"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("now:        " + after), std::string::npos) << refused.err;
    SClientResult pinned = Tls({"--fingerprint", after, "users"});
    EXPECT_EQ(pinned.exitCode, 0) << pinned.err;
    SClientResult wrongPin = Tls({"--fingerprint", before, "users"});
    EXPECT_EQ(wrongPin.exitCode, kExitCertificate);
    EXPECT_NE(wrongPin.err.find("does not match the pinned fingerprint"), std::string::npos) << wrongPin.err;

    // A certificate that cannot be loaded on SIGHUP leaves the one in use serving.
    WriteFileText(dir / "TLS/cert.pem", "not a certificate\n");
    ASSERT_TRUE(server->Signal(SIGHUP));
    ASSERT_TRUE(server->WaitForOutput("Certificate not reloaded, the previous one stays in use")) << server->StdOut();
    EXPECT_EQ(Tls({"--fingerprint", after, "users"}).exitCode, 0);
}

TEST(CliTlsSetUp, ABrokenCertificateLeavesTlsOffAndThePlainListenersServing) {
    test::TempDir dir;
    fs::create_directories(dir / "TLS");
    WriteFileText(dir / "TLS/cert.pem", "-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n");
    WriteFileText(dir / "TLS/key.pem", "");
    test::ServerProcess server(dir.Path());
    ASSERT_TRUE(server.Start()) << server.StdErr();
    ASSERT_TRUE(server.WaitForOutput("TLS is off: cannot load the certificate \"" + dir.Path() + "/TLS/cert.pem\": "))
        << server.StdOut();
    EXPECT_NE(server.StdErr().find("TLS is off: cannot load the certificate"), std::string::npos);
    EXPECT_EQ(ReadFileText(dir / "TLS/key.pem"), "") << "the operator's files are never replaced";
    EXPECT_FALSE(test::CanConnect(static_cast<unsigned short>(server.Port() + 4)));
    test::CTestClient plain(5000);
    ASSERT_TRUE(plain.Connect(server.Port()));
    EXPECT_EQ(plain.Establish(), std::optional<std::uint32_t>(0));

    // Switched off in the extended options: no certificate is made at all.
    test::TempDir off;
    WriteFileText(off / "kestrix.conf", "tls = off\n");
    test::ServerProcess quiet(off.Path());
    ASSERT_TRUE(quiet.Start());
    EXPECT_FALSE(fs::exists(off / "TLS"));
    EXPECT_FALSE(test::CanConnect(static_cast<unsigned short>(quiet.Port() + 4)));
}

TEST(CliTlsTrust, FingerprintsAreComparedInOneFormAndTheKnownServersFileKeepsOneLinePerServer) {
    std::string canonical = "SHA256:AB";
    for (int i = 1; i < 32; ++i) canonical += ":0F";
    ASSERT_EQ(canonical.size(), 7u + 95u);
    std::string bare = canonical.substr(7);
    bare.erase(std::remove(bare.begin(), bare.end(), ':'), bare.end());
    for (char& c : bare) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(UTlsCertificate::NormalizeFingerprint(bare), canonical);
    EXPECT_EQ(UTlsCertificate::NormalizeFingerprint("sha256:" + bare), canonical);
    EXPECT_EQ(UTlsCertificate::NormalizeFingerprint(bare.substr(2)), "");  // 31 bytes
    EXPECT_EQ(UTlsCertificate::NormalizeFingerprint(bare.substr(2) + "zz"), "");

    test::TempDir dir;
    const std::string file = dir / "deep/er/known_servers";  // folders made as needed
    UKnownServers::Remember(file, "a.example:5504", "SHA256:11");
    UKnownServers::Remember(file, "b.example:5504", "SHA256:22");
    UKnownServers::Remember(file, "a.example:5504", "SHA256:33");
    EXPECT_EQ(ReadFileText(file), "b.example:5504 SHA256:22\na.example:5504 SHA256:33\n");
    EXPECT_EQ(UKnownServers::Find(file, "a.example:5504"), "SHA256:33");
    EXPECT_EQ(UKnownServers::Find(file, "a.example:550"), "");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace kx
