// An in-process server for tests of the processing pass: a CMyApplication on a temporary program
// folder with free ports, the real event loop pumped by the test, an injected clock so that time
// rules fire without waiting, and its log window collected in a string. Clients are the blocking
// test client; since server and client share this thread, a test sends first, pumps the loop,
// then reads what has already arrived.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "accounts/admin_check.h"
#include "framework/clock.h"
#include "framework/event_loop.h"
#include "server/application.h"
#include "server/pref_file.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace kx::test {

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override {
        mNowMs = 5'000'000'000ull;  // well past zero, so "0 = never" fields are not confused with now
        UClock::SetTestSource([this] { return mNowMs; });
        mPort = FindFreeBasePort();
        SMyPrefs prefs = SMyPrefs::Defaults();
        prefs.mOptions.nBasePortNum = mPort;
        CustomizePrefs(prefs);
        // The developer's terminal and environment must not feed the head-admin check.
        UAdminCheck::SetProcessSourcesAllowed(false);
        UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(mDir.Path()), prefs);
        mApp = std::make_unique<CMyApplication>(mDir.Path());
        mApp->Logger().SetWindowSink([this](std::string_view line) { mLogWindow.append(line); });
        mApp->StartUp();
    }

    void TearDown() override {
        mApp.reset();
        // Drain what the closed endpoints left queued so the next test starts clean.
        for (int i = 0; i < 5; ++i) CEventLoop::Get().RunOnce(0);
        UClock::SetTestSource(nullptr);
    }

    virtual void CustomizePrefs(SMyPrefs&) {}

    void AdvanceSeconds(std::uint64_t s) { mNowMs += s * 1000; }

    // Runs the loop until pred() holds or about maxMs of real time have passed.
    bool PumpUntil(const std::function<bool()>& pred, int maxMs = 3000) {
        for (int waited = 0; waited < maxMs; waited += 5) {
            CEventLoop::Get().RunOnce(5);
            if (pred()) return true;
        }
        return pred();
    }
    void Pump(int iterations = 20) {
        for (int i = 0; i < iterations; ++i) CEventLoop::Get().RunOnce(2);
    }

    // Connects and completes the establish exchange; the client is then admitted.
    std::unique_ptr<CTestClient> ConnectClient(std::uint16_t subVersion = 2) {
        auto c = std::make_unique<CTestClient>(2000);
        EXPECT_TRUE(c->Connect(mPort)) << c->LastError();
        EXPECT_TRUE(c->SendRaw(EstablishRequest("KSTX", subVersion)));
        Pump();
        auto reply = c->ReadExact(8, 2000);
        EXPECT_TRUE(reply.has_value());
        if (reply) {
            EXPECT_EQ(std::string(reply->begin(), reply->begin() + 4), "TRTP");
        }
        return c;
    }

    // The newest client record, marked logged in (the login handler is not part of these tests).
    SMyClient* LogInNewest() {
        EXPECT_FALSE(mApp->Clients().empty());
        if (mApp->Clients().empty()) return nullptr;
        SMyClient* c = mApp->Clients().back().get();
        c->hasLoggedIn = true;
        return c;
    }

    // True when the peer closed the connection (pumping the server meanwhile).
    bool ServerClosed(CTestClient& c) {
        bool closed = false;
        PumpUntil([&] {
            closed = c.WaitClosed(1);
            return closed;
        });
        return closed;
    }

    // The log window's lines since the last call.
    std::string TakeLogWindow() { return std::exchange(mLogWindow, std::string()); }

    TempDir mDir;
    std::string mLogWindow;  // the log window since start-up (or the last TakeLogWindow)
    std::uint64_t mNowMs = 0;
    unsigned short mPort = 0;
    std::unique_ptr<CMyApplication> mApp;
};

}  // namespace kx::test
