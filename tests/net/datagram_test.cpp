// Datagram sending over loopback UDP: numeric and named destinations, refused records, names
// resolved without blocking and sent in the order handed over, unknown names dropped, and an
// endpoint disposed while its lookup is still running.
#include <gtest/gtest.h>

#include "framework/error.h"
#include "net/loopback_helpers.h"
#include "support/error_checks.h"

namespace kx {
namespace {

using test::PumpIdle;
using test::PumpUntil;

// A UDP socket on 127.0.0.1 standing in for the tracker.
struct SReceiver {
    int fd = -1;
    std::uint16_t port = 0;
    SReceiver() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
        socklen_t len = sizeof(sin);
        getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
        port = ntohs(sin.sin_port);
    }
    ~SReceiver() { close(fd); }
    // The next datagram if one is waiting, else "(none)".
    std::string Take() const {
        char buf[2048];
        const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        return n < 0 ? "(none)" : std::string(buf, static_cast<std::size_t>(n));
    }
};

// An SInternetNameAddress for `name`; returns its meaningful size (4 + 1 + name length).
std::uint32_t NameRecord(SInternetNameAddress& rec, const std::string& name, std::uint16_t port) {
    rec = SInternetNameAddress{};
    rec.type = kInternetNameAddressType;
    rec.port = port;
    rec.name[0] = static_cast<std::uint8_t>(name.size());
    std::memcpy(rec.name + 1, name.data(), name.size());
    return static_cast<std::uint32_t>(5 + name.size());
}

void SendTo(TTransportObj& ep, const std::string& name, std::uint16_t port, const std::string& data) {
    SInternetNameAddress rec;
    const std::uint32_t size = NameRecord(rec, name, port);
    ep.SendUnit(&rec, size, data.data(), static_cast<std::uint32_t>(data.size()));
}

void ExpectBadAddress(TTransportObj& ep, const void* rec, std::uint32_t size) {
    EXPECT_EQ(test::ErrorOf([&] { ep.SendUnit(rec, size, "x", 1); }),
              std::make_pair(int(kErrClassNetwork), int(kErrBadAddress)));
}

TEST(Datagram, NumericDestinationsAreSentAtOnce) {
    SReceiver rx;
    TTransport ep = UTransport::New(kTransportDatagram, true);
    SInternetAddress addr = test::MakeAddress(rx.port, 127, 0, 0, 1);
    ep->SendUnit(&addr, sizeof(addr), "first", 5);
    SendTo(*ep, "127.0.0.1:" + std::to_string(rx.port), 0, "second");
    SendTo(*ep, "127.0.0.1:1", rx.port, "third");  // a non-zero port field wins over the suffix
    SendTo(*ep, "127.0.0.1", rx.port, "fourth");
    EXPECT_EQ(rx.Take(), "first");
    EXPECT_EQ(rx.Take(), "second");
    EXPECT_EQ(rx.Take(), "third");
    EXPECT_EQ(rx.Take(), "fourth");
    EXPECT_EQ(rx.Take(), "(none)");
    EXPECT_NE(ep->GetLocalPort(), 0);  // bound on first send
}

TEST(Datagram, MalformedDestinationsAreRefused) {
    TTransport ep = UTransport::New(kTransportDatagram, true);
    SInternetNameAddress rec;
    std::uint32_t size = NameRecord(rec, "127.0.0.1", 0);
    ExpectBadAddress(*ep, &rec, size);  // no port anywhere
    size = NameRecord(rec, "127.0.0.1:", 0);
    ExpectBadAddress(*ep, &rec, size);
    size = NameRecord(rec, "127.0.0.1:55x", 0);
    ExpectBadAddress(*ep, &rec, size);
    size = NameRecord(rec, "127.0.0.1:70000", 0);
    ExpectBadAddress(*ep, &rec, size);
    size = NameRecord(rec, ":5500", 0);
    ExpectBadAddress(*ep, &rec, size);
    size = NameRecord(rec, "1.2.3:5500", 0);  // digits and dots, but not an address
    ExpectBadAddress(*ep, &rec, size);
    size = NameRecord(rec, "localhost:5500", 0);
    ExpectBadAddress(*ep, &rec, size - 1);  // the name runs past the record
    size = NameRecord(rec, "", 5500);
    ExpectBadAddress(*ep, &rec, size);
    ExpectBadAddress(*ep, &rec, 5);  // shorter than 6
    SInternetAddress addr = test::MakeAddress(5500, 127, 0, 0, 1);
    ExpectBadAddress(*ep, &addr, 11);
    addr.type = 7;
    ExpectBadAddress(*ep, &addr, sizeof(addr));
    ExpectBadAddress(*ep, nullptr, 12);
}

TEST(Datagram, NamesResolveWithoutBlockingAndKeepTheOrder) {
    SReceiver rx;
    TTransport ep = UTransport::New(kTransportDatagram, true);
    const std::string port = std::to_string(rx.port);
    SendTo(*ep, "nonexistent.invalid:" + port, 0, "lost");
    SendTo(*ep, "localhost:" + port, 0, "by name");
    SInternetAddress addr = test::MakeAddress(rx.port, 127, 0, 0, 1);
    ep->SendUnit(&addr, sizeof(addr), "numeric", 7);
    // Nothing leaves before the loop has seen the lookups complete.
    EXPECT_EQ(rx.Take(), "(none)");

    std::vector<std::string> got;
    ASSERT_TRUE(PumpUntil([&] {
        for (std::string d = rx.Take(); d != "(none)"; d = rx.Take()) got.push_back(d);
        return got.size() >= 2;
    }));
    PumpIdle();
    EXPECT_EQ(got, (std::vector<std::string>{"by name", "numeric"}));
    EXPECT_EQ(rx.Take(), "(none)");

    // With nothing pending, a numeric destination goes out at once again.
    ep->SendUnit(&addr, sizeof(addr), "again", 5);
    EXPECT_EQ(rx.Take(), "again");
}

TEST(Datagram, DisposingDuringALookupIsHarmless) {
    SReceiver rx;
    {
        TTransport ep = UTransport::New(kTransportDatagram, true);
        SendTo(*ep, "localhost", rx.port, "never");
    }
    TTransport other = UTransport::New(kTransportDatagram, true);
    SendTo(*other, "localhost", rx.port, "later");
    std::string got = "(none)";
    ASSERT_TRUE(PumpUntil([&] { return (got = rx.Take()) != "(none)"; })) << got;
    EXPECT_EQ(got, "later");
    PumpIdle();
    EXPECT_EQ(rx.Take(), "(none)");
}

TEST(Datagram, ArrivalPostsDataArrivedUntilReceived) {
    SReceiver tx;  // used as the sender here
    TTransport ep = UTransport::New(kTransportDatagram, true);
    test::SNoticeLog log;
    ep->SetIPAddress(test::Loopback());
    ep->SetMessageHandler(log.Proc());
    SInternetAddress any = test::MakeAddress(0, 127, 0, 0, 1);
    ep->Listen(&any, sizeof(any));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ep->GetLocalPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(tx.fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    ASSERT_TRUE(PumpUntil([&] { return log.Count(kMsgDataArrived) == 1; }));
    PumpIdle();
    EXPECT_EQ(log.Count(kMsgDataArrived), 1);
    char buf[8];
    EXPECT_EQ(ep->Receive(buf, sizeof(buf)), 4u);
    EXPECT_EQ(std::string(buf, 4), "ping");
}

}  // namespace
}  // namespace kx
