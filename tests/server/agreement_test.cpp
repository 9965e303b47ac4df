// The agreement and the banner: loading (line ends, size limits, relative and absolute banner
// names, the banner's kind) and the kTranServerBanner notice that follows kTranAgreed.
#include "framework/byte_codec.h"
#include "framework/file_util.h"
#include "fs/file_types.h"
#include "server/login_helpers.h"

namespace kx::test {
namespace {

class AgreementTest : public LoginFixture {
protected:
    // Logs in without a name (the agreement step), agrees, and returns what arrived after agreeing.
    SReceived LogInAndAgree(std::int32_t version) {
        auto c = Connect();
        c->SendRequest(kTranLogin, LoginFields("user", "pw", "", 0, version));
        Drain(*c);
        c->SendRequest(kTranAgreed, CFieldListBuilder().Add(kFieldUserName, "u").AddInt(kFieldIconID, 1).Build());
        SReceived r = Drain(*c);
        EXPECT_TRUE(Newest()->hasLoggedIn);
        return r;
    }
    void MakeUser() { MakeAccount("user", "pw", "User", SMyUserAccess::FromBits({myAcc_ReadChat})); }
};

TEST_F(AgreementTest, LineEndsOfEveryKindBecomeCarriageReturns) {
    WriteFileText(mDir / "Agreement.txt", "a\r\n\nb\r\rc\n\r\n");
    mApp->LoadAgreement(true);
    ASSERT_NE(mApp->GetServerAgreement(), nullptr);
    EXPECT_EQ(*mApp->GetServerAgreement(), "a\r\rb\r\rc\r\r");
    // A removed file leaves no agreement on the next reload.
    std::remove((mDir / "Agreement.txt").c_str());
    mApp->LoadAgreement(true);
    EXPECT_EQ(mApp->GetServerAgreement(), nullptr);
}

TEST_F(AgreementTest, AgreementOfMoreThan65535BytesIsRefused) {
    WriteFileText(mDir / "Agreement.txt", std::string(65535, 'x'));
    mApp->LoadAgreement(true);
    ASSERT_NE(mApp->GetServerAgreement(), nullptr);
    EXPECT_EQ(mApp->GetServerAgreement()->size(), 65535u);
    WriteFileText(mDir / "Agreement.txt", std::string(65536, 'x'));
    mApp->LoadAgreement(true);
    EXPECT_EQ(mApp->GetServerAgreement(), nullptr);
}

class UrlBannerTest : public AgreementTest {
    void CustomizePrefs(SMyPrefs& prefs) override { prefs.mAgreementUrl.Set("http://example.org/banner"); }
};

TEST_F(UrlBannerTest, UrlBannerFollowsTheAgreementForClientsAboveVersion150) {
    MakeUser();
    EXPECT_EQ(mApp->GetServerBannerType(), MakeCode("URL "));
    SReceived r = LogInAndAgree(151);
    const auto n = r.Notices(kTranServerBanner);
    ASSERT_EQ(n.size(), 1u);
    const auto f = Fields(*n[0]);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].id, kFieldServerBannerType);
    EXPECT_EQ(f[0].Text(), "URL ");
    EXPECT_EQ(f[1].id, kFieldServerBannerUrl);
    EXPECT_EQ(f[1].Text(), "http://example.org/banner");
    // The banner comes after the reply and the privileges.
    ASSERT_EQ(r.all.size(), 3u);
    EXPECT_EQ(r.all[2].hdr.type, kTranServerBanner);

    EXPECT_TRUE(LogInAndAgree(150).Notices(kTranServerBanner).empty());
}

TEST_F(AgreementTest, NoUrlMeansNoBanner) {
    MakeUser();
    EXPECT_EQ(mApp->GetServerBannerType(), 0u);
    EXPECT_TRUE(LogInAndAgree(200).Notices(kTranServerBanner).empty());
}

class LocalBannerTest : public AgreementTest {
protected:
    void CustomizePrefs(SMyPrefs& prefs) override {
        prefs.mOptions.nOpts |= kMyOptLocalBanner;
        prefs.mAgreementBanner.Set("Banner.JPG");
        prefs.mAgreementBannerUrl.Set("http://example.org/");
        prefs.mAgreementUrl.Set("http://ignored.example.org/");
        WriteFileText(mDir / "Banner.JPG", std::string("\xFF\xD8picture", 9));
    }
};

TEST_F(LocalBannerTest, PictureBesideTheProgramIsLoadedWithItsKindAndLink) {
    MakeUser();
    ASSERT_NE(mApp->GetServerBanner(), nullptr);
    EXPECT_EQ(*mApp->GetServerBanner(), (std::vector<std::uint8_t>{0xFF, 0xD8, 'p', 'i', 'c', 't', 'u', 'r', 'e'}));
    EXPECT_EQ(mApp->GetServerBannerType(), MakeCode("JPEG"));
    SReceived r = LogInAndAgree(190);
    const auto n = r.Notices(kTranServerBanner);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(FieldText(*n[0], kFieldServerBannerType), "JPEG");
    EXPECT_EQ(FieldText(*n[0], kFieldServerBannerUrl), "http://example.org/");
}

TEST_F(LocalBannerTest, AbsolutePathsKindsByNameAndMissingFiles) {
    UFileUtil::EnsureDirectory(mDir / "pics");
    struct SCase {
        const char* file;
        const char* kind;
    };
    for (SCase k : {SCase{"b.gif", "GIFf"}, SCase{"b.pct", "PICT"}, SCase{"b.bmp", "BMP "}, SCase{"b.dib", "BMP "},
                    SCase{"b.png", "PNGf"}}) {
        const std::string path = mDir / (std::string("pics/") + k.file);
        WriteFileText(path, "data");
        mApp->Prefs().mAgreementBanner.Set(path);
        mApp->LoadAgreement(true);
        ASSERT_NE(mApp->GetServerBanner(), nullptr) << k.file;
        const std::uint32_t t = mApp->GetServerBannerType();
        std::uint8_t kind[4];
        PutBE32(kind, t);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(kind), 4), k.kind) << k.file;
    }
    // Missing file: no banner, and no banner notice.
    mApp->Prefs().mAgreementBanner.Set("missing.jpg");
    mApp->LoadAgreement(true);
    EXPECT_EQ(mApp->GetServerBanner(), nullptr);
    EXPECT_EQ(mApp->GetServerBannerType(), 0u);
    MakeUser();
    EXPECT_TRUE(LogInAndAgree(190).Notices(kTranServerBanner).empty());
}

TEST_F(LocalBannerTest, PictureAbove262140BytesIsRefused) {
    WriteFileText(mDir / "Banner.JPG", std::string(262140, 'p'));
    mApp->LoadAgreement(true);
    ASSERT_NE(mApp->GetServerBanner(), nullptr);
    WriteFileText(mDir / "Banner.JPG", std::string(262141, 'p'));
    mApp->LoadAgreement(true);
    EXPECT_EQ(mApp->GetServerBanner(), nullptr);
    EXPECT_EQ(mApp->GetServerBannerType(), 0u);
}

}  // namespace
}  // namespace kx::test
