// Request-header parsing and block framing of the tunnel, fed directly: line limits, the
// identifier's place, headers arriving byte by byte, the header cap, padding sizes.
#include <gtest/gtest.h>

#include <string>

#include "net/http_block.h"
#include "net/http_request.h"

namespace kx {
namespace {

const std::string kId = "0123abcd-0000-4000-8000-00000000beef";

CHttpRequestParser::EResult FeedAll(CHttpRequestParser& p, const std::string& s) {
    return p.Feed(reinterpret_cast<const std::uint8_t*>(s.data()), static_cast<std::uint32_t>(s.size()));
}

TEST(HttpRequestParser, GetAndPostYieldMethodIdentifierAndTheBytesAfterTheHeader) {
    CHttpRequestParser get;
    EXPECT_EQ(FeedAll(get, "GET http://h:5502/" + kId + " HTTP/1.0\r\nHost: h\r\n\r\n"),
              CHttpRequestParser::EResult::kDone);
    EXPECT_TRUE(get.IsGet());
    EXPECT_EQ(get.Identifier(), kId);
    EXPECT_TRUE(get.TakeRest().empty());

    const std::string text = "POST http://h/" + kId + " HTTP/1.0\r\nContent-Length: 999999999\r\n\r\n";
    CHttpRequestParser post2;
    std::string withBody = text;
    withBody += std::string("\0\0\0\x02", 4) + "ab";
    EXPECT_EQ(FeedAll(post2, withBody), CHttpRequestParser::EResult::kDone);
    EXPECT_FALSE(post2.IsGet());
    EXPECT_EQ(post2.TakeRest(), (std::vector<std::uint8_t>{0, 0, 0, 2, 'a', 'b'}));
}

TEST(HttpRequestParser, ByteByByteArrivalGivesTheSameResult) {
    const std::string text = "GET /" + kId + " HTTP/1.0\r\nPragma: no-cache\r\n\r\n";
    CHttpRequestParser p;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        ASSERT_EQ(FeedAll(p, text.substr(i, 1)), CHttpRequestParser::EResult::kNeedMore) << i;
    }
    EXPECT_EQ(FeedAll(p, text.substr(text.size() - 1)), CHttpRequestParser::EResult::kDone);
    EXPECT_EQ(p.Identifier(), kId);
}

TEST(HttpRequestParser, RefusesOtherMethodsVersionsAndMisplacedIdentifiers) {
    for (const std::string& text : {
             "GET /" + kId + " HTTP/1.1\r\n\r\n",
             // HTTP/1.1 only as passed on by a proxy, which names itself in Via.
             "GET /" + kId + " HTTP/1.1\r\nX-Via: 1.1 p\r\nVia-X: 1.1 p\r\nVi: a\r\n\r\n",
             "GET /" + kId + " HTTP/1.2\r\nVia: 1.1 p\r\n\r\n",
             "get /" + kId + " HTTP/1.0\r\n\r\n",
             "HEAD /" + kId + " HTTP/1.0\r\n\r\n",
             "GET /" + kId + " HTTP/1.0 \r\n\r\n",
             std::string("GET /short HTTP/1.0\r\n\r\n"),
             "GET " + kId.substr(0, 33) + " HTTP/1.0\r\n\r\n",  // would overlap the method
         }) {
        CHttpRequestParser p;
        EXPECT_EQ(FeedAll(p, text), CHttpRequestParser::EResult::kRejected) << text;
    }
}

TEST(HttpRequestParser, Http11IsTakenWhenAProxyPassedItOn) {
    // As a proxy forwards them: origin form or absolute form, the field name in any case.
    for (const std::string via : {"Via: 1.1 localhost (squid/5.7)", "via:1.0 gw"}) {
        CHttpRequestParser get;
        EXPECT_EQ(FeedAll(get, "GET /" + kId + " HTTP/1.1\r\nHost: h:5502\r\n" + via +
                                   "\r\nX-Forwarded-For: 127.0.0.1\r\nCache-Control: max-age=259200\r\n\r\n"),
                  CHttpRequestParser::EResult::kDone)
            << via;
        EXPECT_TRUE(get.IsGet());
        EXPECT_EQ(get.Identifier(), kId);
    }
    CHttpRequestParser post;
    const std::string text = "POST http://h:5502/" + kId + " HTTP/1.1\r\nVIA: 1.1 p\r\n\r\n";
    EXPECT_EQ(FeedAll(post, text + "xy"), CHttpRequestParser::EResult::kDone);
    EXPECT_FALSE(post.IsGet());
    EXPECT_EQ(post.TakeRest(), (std::vector<std::uint8_t>{'x', 'y'}));
    // Undecided until the header has ended.
    CHttpRequestParser waiting;
    EXPECT_EQ(FeedAll(waiting, "GET /" + kId + " HTTP/1.1\r\nHost: h\r\n"), CHttpRequestParser::EResult::kNeedMore);
    EXPECT_EQ(FeedAll(waiting, "\r\n"), CHttpRequestParser::EResult::kRejected);
}

TEST(HttpRequestParser, HeaderLinesOf256BytesOrMoreAreRefused) {
    const std::string line = "GET /" + kId + " HTTP/1.0\r\n";
    CHttpRequestParser ok;
    EXPECT_EQ(FeedAll(ok, line + "X: " + std::string(252, 'a') + "\r\n\r\n"), CHttpRequestParser::EResult::kDone);
    CHttpRequestParser tooLong;
    EXPECT_EQ(FeedAll(tooLong, line + "X: " + std::string(253, 'a') + "\r\n\r\n"),
              CHttpRequestParser::EResult::kRejected);
    // Refused as soon as the line has grown that long, without waiting for its end.
    CHttpRequestParser endless;
    EXPECT_EQ(FeedAll(endless, line + std::string(255, 'b')), CHttpRequestParser::EResult::kNeedMore);
    EXPECT_EQ(FeedAll(endless, "b"), CHttpRequestParser::EResult::kRejected);
    EXPECT_EQ(FeedAll(endless, "\r\n\r\n"), CHttpRequestParser::EResult::kRejected);  // stays refused
}

TEST(HttpRequestParser, AHeaderThatNeverEndsIsCappedAt7168Bytes) {
    CHttpRequestParser p;
    EXPECT_EQ(FeedAll(p, "GET /" + kId + " HTTP/1.0\r\n"), CHttpRequestParser::EResult::kNeedMore);
    CHttpRequestParser::EResult r = CHttpRequestParser::EResult::kNeedMore;
    while (r == CHttpRequestParser::EResult::kNeedMore && p.Room() > 0) {
        const std::string filler = "X-Filler: 01234567\r\n";
        r = FeedAll(p, filler.substr(0, std::min<std::size_t>(filler.size(), p.Room())));
    }
    EXPECT_EQ(r, CHttpRequestParser::EResult::kRejected);
    EXPECT_LE(p.Received(), kHttpMaxRequestHeader);
}

TEST(HttpBlock, PaddingCompletesPackagesOnlyWhenABlockFits) {
    EXPECT_EQ(UHttpBlock::PaddingFor(108), 14228u);
    EXPECT_EQ(UHttpBlock::PaddingFor(14327), 9u);
    EXPECT_EQ(UHttpBlock::PaddingFor(14328), 0u);  // an 8-byte block would carry nothing
    EXPECT_EQ(UHttpBlock::PaddingFor(14336), 0u);
    EXPECT_EQ(UHttpBlock::PaddingFor(20000), 0u);
    EXPECT_EQ(UHttpBlock::DataPackage("abc", 3).size(), 14336u);
    EXPECT_EQ(UHttpBlock::DataPackage(std::string(20000, 'x').data(), 20000).size(), 20008u);
    const std::vector<std::uint8_t> get = UHttpBlock::GetResponseBytes();
    EXPECT_EQ(get.size(), 3u * 14336);
    const std::vector<std::uint8_t> post = UHttpBlock::PostCloseBytes();
    const std::string text(post.begin(), post.end() - 8);
    EXPECT_EQ(text, "HTTP/1.0 302 Found\r\nConnection: close\r\nContent-Length: 8\r\n"
                    "Content-Type: kestrix/protocol\r\n\r\n");
    EXPECT_EQ(std::vector<std::uint8_t>(post.end() - 8, post.end()), std::vector<std::uint8_t>(8, 0));
}

}  // namespace
}  // namespace kx
