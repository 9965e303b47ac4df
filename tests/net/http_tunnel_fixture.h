// Shared set-up of the tunnel integration tests: a frozen test clock, a tunnel listener on a
// loopback port whose notices are recorded, and helpers that open raw GET and POST requests and
// pair them. Tear-down disposes everything and checks that no raw connection is left behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "framework/clock.h"
#include "framework/event_loop.h"
#include "net/http_transport.h"
#include "net/transport.h"
#include "support/http_tunnel_client.h"

namespace kx::test {

class HttpTunnelFixture : public ::testing::Test {
protected:
    void SetUp() override {
        UClock::SetTestSource([this] { return mNow; });
        SHttpTimings t;
        t.connectionTime = 30000;
        UHttpTransport::SetTimings(t);
        mListener = UTransport::New(kTransportStream, false);
        mListener->SetMessageHandler([this](std::uint32_t code, void*) { mListenerCodes.push_back(code); });
        SIPAddress lo;
        lo.b[0] = 127;
        lo.b[3] = 1;
        mListener->SetIPAddress(lo);
        SInternetAddress addr{kInternetAddressType, 0, {}};
        mListener->Listen(&addr, sizeof addr);
        mPort = mListener->GetLocalPort();
        ASSERT_NE(mPort, 0);
    }

    void TearDown() override {
        mTunnels.clear();
        mListener.reset();
        mNow += 10 * 60 * 1000;
        UHttpTransport::Sweep();
        for (int i = 0; i < 20; ++i) CEventLoop::Get().RunOnce(0);
        EXPECT_EQ(UHttpTransport::GetOpenCount(), 0u);
        EXPECT_EQ(UHttpTransport::GetClosingCount(), 0u);
        EXPECT_EQ(UHttpTransport::GetTunnelCount(), 0u);
        UHttpTransport::SetTimings(SHttpTimings{});
        UClock::SetTestSource(nullptr);
    }

    // Opens a GET and waits for its whole opening (response header and three packages).
    void OpenGet(CRawHttpConnection& c, const std::string& id, int receiveBuffer = 0) {
        ASSERT_TRUE(c.Connect(mPort, receiveBuffer));
        ASSERT_TRUE(c.Send(GetRequestText(id, mPort)));
        ASSERT_TRUE(PumpUntil([&] { return c.Received().size() >= 3 * 14336u; }, [&] { c.Poll(); }));
    }

    void OpenPost(CRawHttpConnection& c, const std::string& id) {
        ASSERT_TRUE(c.Connect(mPort));
        ASSERT_TRUE(c.Send(PostOpening(id, mPort)));
    }

    // Waits for a connection request and accepts the pair; null when none comes.
    TTransportObj* AcceptTunnel(SInternetAddress* outAddr = nullptr) {
        TTransport t;
        PumpUntil([&] {
            SInternetAddress addr{};
            std::uint32_t size = sizeof addr;
            t = mListener->Accept(&addr, &size);
            if (t && outAddr) *outAddr = addr;
            return t != nullptr;
        });
        if (!t) return nullptr;
        TTransportObj* raw = t.get();
        auto codes = std::make_shared<std::vector<std::uint32_t>>();
        mOwnerCodes.push_back(codes);
        raw->SetMessageHandler([codes](std::uint32_t code, void*) { codes->push_back(code); });
        mTunnels.push_back(std::move(t));
        return raw;
    }

    // Opens GET then POST with `id` and pairs them.
    TTransportObj* OpenTunnel(CRawHttpConnection& get, CRawHttpConnection& post, const std::string& id) {
        OpenGet(get, id);
        OpenPost(post, id);
        return AcceptTunnel();
    }

    std::vector<std::uint32_t>& OwnerCodes(std::size_t i = 0) { return *mOwnerCodes.at(i); }
    bool OwnerGot(std::uint32_t code, std::size_t i = 0) {
        const auto& v = OwnerCodes(i);
        return std::find(v.begin(), v.end(), code) != v.end();
    }

    std::uint64_t mNow = 50'000'000;
    TTransport mListener;
    std::uint16_t mPort = 0;
    std::vector<std::uint32_t> mListenerCodes;
    std::vector<TTransport> mTunnels;
    std::vector<std::shared_ptr<std::vector<std::uint32_t>>> mOwnerCodes;
};

}  // namespace kx::test
