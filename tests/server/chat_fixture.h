// Helpers for the chat and message-board tests: an in-process server with named, logged-in
// clients holding chosen privileges, and short ways to send a request and read what arrives.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "protocol/transaction_types.h"
#include "server/app_fixture.h"

namespace kx::test {

struct SChatUser {
    std::unique_ptr<CTestClient> conn;
    SMyClient* rec = nullptr;
};

class ChatFixture : public AppFixture {
protected:
    static std::vector<unsigned> DefaultPrivs() {
        return {myAcc_ReadChat, myAcc_SendChat, myAcc_CreateChat, myAcc_SendPrivMsg};
    }

    // A connected client marked logged in under `name` with exactly these privileges.
    SChatUser AddUser(const std::string& name, const std::vector<unsigned>& privs) {
        SChatUser u;
        const std::size_t before = mApp->Clients().size();
        u.conn = ConnectClient();
        EXPECT_TRUE(PumpUntil([&] { return mApp->Clients().size() == before + 1; }));
        u.rec = LogInNewest();
        if (u.rec) {
            u.rec->userName = name;
            u.rec->iconID = 128;
            for (unsigned bit : privs) u.rec->access.SetPriv(bit);
        }
        return u;
    }
    SChatUser AddUser(const std::string& name) { return AddUser(name, DefaultPrivs()); }

    std::uint32_t Send(SChatUser& u, std::uint16_t type, const CFieldListBuilder& fields) {
        const std::uint32_t id = u.conn->SendRequest(type, fields.Build());
        Pump();
        return id;
    }

    // The next transaction that reaches the client, or nullopt when none comes.
    std::optional<STestTransaction> Next(SChatUser& u, int timeoutMs = 500) {
        Pump(5);
        return u.conn->ReadTransaction(timeoutMs);
    }

    // The reply to request `id`, failing the test when another transaction comes first.
    std::optional<STestTransaction> Reply(SChatUser& u, std::uint32_t id) {
        auto t = Next(u);
        EXPECT_TRUE(t);
        if (t) {
            EXPECT_EQ(t->hdr.isReply, 1);
            EXPECT_EQ(t->hdr.id, id);
        }
        return t;
    }

    bool Quiet(SChatUser& u) {
        Pump(5);
        return u.conn->ExpectSilence(30);
    }

    static std::vector<STestField> Fields(const STestTransaction& t) {
        auto f = ParseFieldList(t.data);
        EXPECT_TRUE(f);
        return f ? *f : std::vector<STestField>{};
    }
    static std::string Text(const STestTransaction& t, std::uint16_t id) {
        auto f = Fields(t);
        const STestField* field = FindField(f, id);
        return field ? field->Text() : std::string("<absent>");
    }
    static std::int64_t Int(const STestTransaction& t, std::uint16_t id) {
        auto f = Fields(t);
        const STestField* field = FindField(f, id);
        return field && field->Int() ? *field->Int() : -1;
    }
    static bool Has(const STestTransaction& t, std::uint16_t id) {
        auto f = Fields(t);
        return FindField(f, id) != nullptr;
    }

    // Reads the next transaction and checks it is a notice of `type`.
    STestTransaction Expect(SChatUser& u, std::uint16_t type) {
        auto t = Next(u);
        EXPECT_TRUE(t) << "expected type " << type;
        if (!t) return {};
        EXPECT_EQ(t->hdr.isReply, 0);
        EXPECT_EQ(t->hdr.type, type);
        return *t;
    }

    bool Banned() { return mApp->Bans().IsTempBanned(ToIPAddress(0x7F000001)); }
};

}  // namespace kx::test
