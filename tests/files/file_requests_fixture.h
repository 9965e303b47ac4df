// An in-process server with one logged-in client for the file transactions: helpers that lay out
// the "Files" tree, send a request with name and path fields, and read the reply's fields.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fs/file_path.h"
#include "protocol/transaction_types.h"
#include "server/app_fixture.h"

namespace kx::test {

using SFileReply = STestReply;

inline std::string Q(const std::string& name) { return "\xD2" + name + "\xD3"; }

inline Bytes PathData(const std::vector<std::string>& names) { return UFilePath::Build(names); }

class FileRequestsFixture : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        mConn = ConnectClient();
        ASSERT_TRUE(PumpUntil([&] { return mApp->Clients().size() == 1; }));
        mClient = LogInNewest();
        ASSERT_NE(mClient, nullptr);
    }

    std::string Files(const std::string& rel = {}) const { return rel.empty() ? mDir / "Files" : mDir / ("Files/" + rel); }

    void Grant(std::initializer_list<unsigned> privs) {
        for (unsigned p : privs) mClient->access.SetPriv(p);
    }

    static void MakeDir(const std::string& path) { std::filesystem::create_directories(path); }
    static void WriteFile(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static void Link(const std::string& target, const std::string& path) {
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    }
    static bool Exists(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }
    static bool IsLink(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    static std::string LinkTarget(const std::string& path) {
        std::error_code ec;
        return std::filesystem::read_symlink(path, ec).string();
    }
    static std::string Read(const std::string& path) { return ReadFileText(path); }
    std::vector<std::string> TrashNames() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(mDir / "Trash")) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    SFileReply Send(std::uint16_t type, const CFieldListBuilder& fields) {
        SFileReply out;
        const std::uint32_t id = mConn->SendRequest(type, fields.Build());
        if (id == 0) return out;
        Pump();
        auto t = mConn->ReadReplyTo(id, 2000);
        if (!t) return out;
        auto parsed = ParseFieldList(t->data);
        if (!parsed) return out;
        out.ok = true;
        out.error = t->hdr.error;
        out.fields = std::move(*parsed);
        return out;
    }

    // A request with kFieldFileName (when not empty) and kFieldFilePath (when not empty).
    static CFieldListBuilder NameAndPath(const std::string& name, const Bytes& path = {}) {
        CFieldListBuilder b;
        if (!name.empty()) b.Add(kFieldFileName, name);
        if (!path.empty()) b.Add(kFieldFilePath, path);
        return b;
    }

    // Expects an error reply with exactly this text.
    static void ExpectError(const SFileReply& r, const std::string& text) {
        ASSERT_TRUE(r.ok);
        EXPECT_NE(r.error, 0u);
        EXPECT_EQ(r.ErrorText(), text);
    }
    // Expects an empty success reply.
    static void ExpectEmptyReply(const SFileReply& r) {
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0u) << r.ErrorText();
        EXPECT_TRUE(r.fields.empty());
    }

    std::unique_ptr<CTestClient> mConn;
    SMyClient* mClient = nullptr;
};

}  // namespace kx::test
