// The fixture of the client's end-to-end tests: a real server on a temporary program folder
// with the head administrator "admin" (password "secret", also in the file "pw"), an ordinary
// account "user" without a password, and a small file tree.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "accounts/account_store.h"
#include "accounts/admin_account.h"
#include "support/client_process.h"
#include "support/server_process.h"

namespace kx::test {

namespace fs = std::filesystem;

// Bytes that differ at every offset, so a transfer resumed at the wrong place, or a piece lost or
// doubled between blocks, cannot go unnoticed.
inline std::string PatternBytes(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// Every item below `root` as "relative path" -> "/" for a folder, else the size and a digest of
// the contents (short enough to show when trees differ).
inline std::map<std::string, std::string> FileTree(const std::string& root) {
    std::map<std::string, std::string> items;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        const std::string data = e.is_directory() ? "" : ReadFileText(e.path().string());
        items[rel] = e.is_directory() ? "/"
                                      : std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>{}(data));
    }
    return items;
}

class ClientFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "Users");
        CMyAccountStore store(dir / "Users", dir / "Trash");
        ASSERT_TRUE(UAdminAccount::SetAdmin(store, "admin", "secret", true));
        // An ordinary account without a password, for the one who gets disconnected.
        SMyUserDataFile user;
        user.SetName("User");
        user.SetLogin("user");
        user.access = SMyUserAccess::FromBits({myAcc_ReadChat, myAcc_SendChat, myAcc_SendPrivMsg, myAcc_ReadNews});
        store.NewUser(user);
        fs::create_directories(dir / "Files/Docs");
        WriteFileText(dir / "Files/readme.txt", "hello world");
        server = std::make_unique<ServerProcess>(dir.Path());
        ASSERT_TRUE(server->Start()) << server->StdOut() << server->StdErr();
        host = "127.0.0.1:" + std::to_string(server->Port());
        WriteFileText(dir / "pw", "secret\n");
    }

    // Runs a command as the administrator (password from a file).
    SClientResult Admin(std::vector<std::string> args, const std::string& input = "", const std::string& name = "op") {
        std::vector<std::string> all = {"--login", "admin", "--password-file", dir / "pw", "--name", name, host};
        all.insert(all.end(), args.begin(), args.end());
        return test::RunClientBinary(all, input);
    }

    // The tree "src/Tree" the folder tests send up and down (a.txt, sub/b.bin of `size` bytes,
    // sub/deeper/c.txt, the empty folder "empty" and `extra` holding `extraText`), and what
    // interrupted transfers left of it: "Files/Uploads/Tree" on the server and "out/Tree" here
    // hold a.txt whole and part of b.bin (as "b.bin.kpf"). Returns the tree's path.
    std::string TreeWithLeftovers(std::size_t size, const std::string& extra, const std::string& extraText) {
        const std::string src = dir / "src/Tree";
        fs::create_directories(src + "/sub/deeper");
        fs::create_directories(src + "/empty");
        const std::string b = PatternBytes(size, 3);
        WriteFileText(src + "/a.txt", "alpha");
        WriteFileText(src + "/sub/b.bin", b);
        WriteFileText(src + "/sub/deeper/c.txt", "gamma\n");
        WriteFileText(src + "/" + extra, extraText);
        for (const auto& [at, part] : {std::pair{dir / "Files/Uploads/Tree", 70000}, {dir / "out/Tree", 50000}}) {
            fs::create_directories(at + "/sub");
            WriteFileText(at + "/a.txt", "alpha");
            WriteFileText(at + "/sub/b.bin.kpf", b.substr(0, part));
        }
        return src;
    }

    TempDir dir;
    std::unique_ptr<ServerProcess> server;
    std::string host;
};

}  // namespace kx::test
