// Helpers for tests of login and presence: accounts on disk, logged-in clients, and reading
// everything the server has sent a test client so far (login requests: LoginFields in
// support/test_client.h).
#pragma once

#include <string>
#include <vector>

#include "protocol/transaction_types.h"
#include "protocol/user_data.h"
#include "server/app_fixture.h"

namespace kx::test {

struct SReceived {
    std::vector<STestTransaction> all;

    // Notices (requests from the server) of one type.
    std::vector<const STestTransaction*> Notices(std::uint16_t type) const {
        std::vector<const STestTransaction*> out;
        for (const auto& t : all)
            if (!t.hdr.isReply && t.hdr.type == type) out.push_back(&t);
        return out;
    }
    const STestTransaction* ReplyTo(std::uint32_t id) const {
        for (const auto& t : all)
            if (t.hdr.isReply && t.hdr.id == id) return &t;
        return nullptr;
    }
};

inline std::vector<STestField> Fields(const STestTransaction& t) {
    auto f = ParseFieldList(t.data);
    EXPECT_TRUE(f.has_value());
    return f ? *f : std::vector<STestField>{};
}

inline std::string FieldText(const STestTransaction& t, std::uint16_t id) {
    const auto f = Fields(t);
    return FindField(f, id) ? FindField(f, id)->Text() : std::string("<absent>");
}

inline std::optional<std::int64_t> FieldInt(const STestTransaction& t, std::uint16_t id) {
    const auto f = Fields(t);
    return FindField(f, id) ? FindField(f, id)->Int() : std::nullopt;
}

class LoginFixture : public AppFixture {
protected:
    // Creates an account on disk; `password` plain (stored encoded).
    SMyUserDataFile MakeAccount(const std::string& login, const std::string& password, const std::string& name,
                                const SMyUserAccess& access) {
        SMyUserDataFile rec;
        rec.SetLogin(login);
        rec.SetName(name);
        rec.SetPassword(UUserData::EncodeText(password));
        rec.access = access;
        mApp->Accounts().NewUser(rec);
        return rec;
    }

    // Pumps the server, then reads whatever has arrived at `c` until it is quiet.
    SReceived Drain(CTestClient& c) {
        SReceived r;
        Pump();
        while (auto t = c.ReadTransaction(60)) {
            r.all.push_back(std::move(*t));
            Pump(2);
        }
        return r;
    }

    // Connects a client and waits until the server has admitted it.
    std::unique_ptr<CTestClient> Connect() {
        const std::uint16_t before = Newest() ? Newest()->userID : 0;
        auto c = ConnectClient();
        EXPECT_TRUE(PumpUntil([&] { return Newest() && Newest()->userID != before; }));
        return c;
    }

    // The error text of the one reply the client was sent (a failure when it got anything else).
    std::string OnlyErrorText(CTestClient& c) {
        SReceived r = Drain(c);
        EXPECT_EQ(r.all.size(), 1u);
        return r.all.size() == 1 ? FieldText(r.all[0], kFieldErrorText) : std::string();
    }

    // The server's record of the client admitted last.
    SMyClient* Newest() { return mApp->Clients().empty() ? nullptr : mApp->Clients().back().get(); }

    // Connects and completes a login with a name and an icon; returns the client.
    std::unique_ptr<CTestClient> ConnectAndLogIn(const std::string& login, const std::string& password,
                                                 const std::string& name, std::int32_t icon = 128) {
        auto c = Connect();
        const std::uint32_t id = c->SendRequest(kTranLogin, LoginFields(login, password, name, icon));
        SReceived r = Drain(*c);
        const STestTransaction* reply = r.ReplyTo(id);
        EXPECT_TRUE(reply && reply->hdr.error == 0) << login;
        EXPECT_TRUE(Newest() && Newest()->hasLoggedIn) << login;
        return c;
    }
};

}  // namespace kx::test
