// Helpers for the transfer tests: an in-process server with logged-in clients whose privileges
// the test sets, requests answered as parsed field lists, raw transfer connections to base port
// + 1 with the 16-byte header, and flattened streams built and parsed byte by byte.
#pragma once

#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/byte_codec.h"
#include "framework/file_util.h"
#include "fs/file_path.h"
#include "protocol/transaction_types.h"
#include "protocol/user_access.h"
#include "server/app_fixture.h"

namespace kx::test {

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline Bytes Pattern(std::size_t n, unsigned seed = 1) {
    Bytes b(n);
    std::uint32_t x = seed * 2654435761u + 12345;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

// A flattened stream as a client sends it: header, INFO fork, DATA fork.
inline Bytes FlatStream(const Bytes& data, std::string_view name = "x", std::uint32_t compType = 0) {
    Bytes info(72, 0);
    std::memcpy(info.data(), "MWIN", 4);
    info[70] = 0;
    info[71] = static_cast<std::uint8_t>(name.size());
    info.insert(info.end(), name.begin(), name.end());
    info.push_back(0);
    info.push_back(0);
    Bytes hdr = Concat({Text("FILP"), {0, 1}, Bytes(16, 0), {0, 2}});
    Bytes infoHdr = Concat({Text("INFO"), Be32(0), Be32(0), Be32(static_cast<std::uint32_t>(info.size()))});
    Bytes dataHdr = Concat({Text("DATA"), Be32(compType), Be32(0), Be32(static_cast<std::uint32_t>(data.size()))});
    return Concat({hdr, infoHdr, info, dataHdr, data});
}

inline Bytes ResumeRecord(std::uint32_t have) {
    return Concat({Text("RFLT"), {0, 1}, Bytes(34, 0), {0, 1}, Text("DATA"), Be32(have), Bytes(8, 0)});
}

using SReply = STestReply;

class TransferFixture : public AppFixture {
protected:
    std::string FilesDir() { return mDir / "Files"; }

    void WriteFile(const std::string& relPath, const Bytes& data) {
        const std::string full = FilesDir() + "/" + relPath;
        const auto slash = full.rfind('/');
        MakeDirs(full.substr(0, slash));
        UFileUtil::WriteFileAtomic(full, data);
    }
    void MakeDirs(const std::string& path) {
        std::string sofar;
        std::size_t pos = 0;
        while (pos != std::string::npos) {
            pos = path.find('/', pos + 1);
            sofar = path.substr(0, pos);
            if (!sofar.empty() && !UFileUtil::IsDirectory(sofar)) UFileUtil::EnsureDirectory(sofar);
        }
    }
    std::optional<Bytes> ReadFile(const std::string& relPath) {
        return UFileUtil::ReadWholeFile(FilesDir() + "/" + relPath);
    }

    // A connected, logged-in client holding the given privileges.
    struct SUser {
        std::unique_ptr<CTestClient> conn;
        SMyClient* record = nullptr;
    };
    SUser NewUser(std::initializer_list<unsigned> privs) {
        SUser u;
        const std::size_t before = mApp->Clients().size();
        u.conn = ConnectClient();
        PumpUntil([&] { return mApp->Clients().size() > before; });
        u.record = LogInNewest();
        for (unsigned p : privs) u.record->access.SetPriv(p);
        return u;
    }

    SReply Request(CTestClient& c, std::uint16_t type, const Bytes& fields) {
        SReply r;
        const std::uint32_t id = c.SendRequest(type, fields);
        if (id == 0) return r;
        std::optional<STestTransaction> t;
        PumpUntil([&] {
            t = c.ReadReplyTo(id, 1);
            return t.has_value();
        });
        if (!t) return r;
        auto parsed = ParseFieldList(t->data);
        if (!parsed) return r;
        r.ok = true;
        r.error = t->hdr.error;
        r.fields = *parsed;
        return r;
    }

    static Bytes PathData(std::initializer_list<std::string> names) { return UFilePath::Build(names); }

    SReply Download(CTestClient& c, std::string_view name, const Bytes& path = {}, int options = -1,
                    const Bytes* resume = nullptr) {
        CFieldListBuilder b;
        b.Add(kFieldFileName, name);
        if (!path.empty()) b.Add(kFieldFilePath, path);
        if (resume) b.Add(kFieldFileResumeData, *resume);
        if (options >= 0) b.AddInt(kFieldFileTransferOptions, options);
        return Request(c, kTranDownloadFile, b.Build());
    }

    SReply Upload(CTestClient& c, std::string_view name, const Bytes& path, std::uint32_t size, bool resume = false) {
        CFieldListBuilder b;
        b.Add(kFieldFileName, name);
        if (!path.empty()) b.Add(kFieldFilePath, path);
        if (resume) b.AddInt(kFieldFileTransferOptions, 1);
        b.AddInt(kFieldTransferSize, static_cast<std::int32_t>(size));
        return Request(c, kTranUploadFile, b.Build());
    }

    static Bytes RefNumOf(const SReply& r) {
        const STestField* f = r.Find(kFieldRefNum);
        return f ? f->data : Bytes{};
    }

    // A transfer connection to base port + 1 that has sent its header.
    std::unique_ptr<CTestClient> OpenTransfer(const Bytes& refNum, std::uint32_t dataSize = 0, std::uint16_t type = 0,
                                              std::string_view protocol = "KXXF") {
        auto t = std::make_unique<CTestClient>(2000);
        EXPECT_TRUE(t->Connect(static_cast<std::uint16_t>(mPort + 1)));
        Bytes header = Concat({Text(protocol), refNum, Be32(dataSize), Be16(type), {0, 0}});
        EXPECT_TRUE(t->SendRaw(header));
        Pump();
        return t;
    }

    // Reads exactly n bytes from a transfer connection while the server runs.
    std::optional<Bytes> ReadTransfer(CTestClient& t, std::size_t n, int maxMs = 10000) {
        Bytes out;
        std::vector<std::uint8_t> buf(1 << 20);
        PumpUntil(
            [&] {
                for (;;) {
                    const ssize_t got = recv(t.Fd(), buf.data(), buf.size(), MSG_DONTWAIT);
                    if (got <= 0) break;
                    out.insert(out.end(), buf.begin(), buf.begin() + got);
                }
                return out.size() >= n;
            },
            maxMs);
        if (out.size() != n) return std::nullopt;
        return out;
    }

    // Sends bytes while the server runs, so that a large stream cannot block the test.
    bool SendPumping(CTestClient& t, const Bytes& data) {
        std::size_t done = 0;
        return PumpUntil([&] {
            while (done < data.size()) {
                const ssize_t n = send(t.Fd(), data.data() + done, data.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            return done == data.size();
        });
    }

    // Transaction notices of one type that have arrived on a client connection.
    std::vector<std::vector<STestField>> Notices(CTestClient& c, std::uint16_t type) {
        std::vector<std::vector<STestField>> out;
        Pump();
        while (auto t = c.ReadTransaction(50)) {
            if (t->hdr.type != type || t->hdr.isReply) continue;
            if (auto f = ParseFieldList(t->data)) out.push_back(*f);
        }
        return out;
    }
};

}  // namespace kx::test
