// Fuzz target: an account's "UserData" record. A record of the right size and version decodes and
// encodes back byte for byte; its texts never read past their fields, whatever sizes it states.
#include <algorithm>
#include <span>

#include "framework/error.h"
#include "fuzz/targets.h"
#include "protocol/user_data.h"

namespace kx::fuzz {

int FuzzUserData(const std::uint8_t* data, std::size_t size) {
    SMyUserDataFile rec;
    try {
        rec = UUserData::Decode(std::span<const std::uint8_t>(data, size));
    } catch (const SError& e) {
        KX_FUZZ_CHECK(e.type == kErrClassGeneral);
        KX_FUZZ_CHECK((e.id == kErrBadVersion && size != kUserDataSize) ||
                      (e.id == kErrBadFormat && size == kUserDataSize));
        return 0;
    }
    KX_FUZZ_CHECK(size == kUserDataSize);
    const UUserData::TUserDataBytes back = UUserData::Encode(rec);
    KX_FUZZ_CHECK(std::equal(back.begin(), back.end(), data));
    KX_FUZZ_CHECK(rec.GetName().size() <= kUserNameMax && rec.GetAlias().size() <= kUserAliasMax);
    KX_FUZZ_CHECK(rec.GetLogin().size() <= kUserLoginMax && rec.GetPassword().size() <= kUserPasswordMax);
    const std::string login = rec.GetLogin();
    KX_FUZZ_CHECK(UUserData::DecodeText(UUserData::EncodeText(login)) == login);
    // Rewriting the texts keeps a sound record sound.
    const bool wellFormed = rec.IsWellFormed();
    rec.SetName(rec.GetName());
    rec.SetLogin(login);
    KX_FUZZ_CHECK(!wellFormed || rec.IsWellFormed());
    return 0;
}

}  // namespace kx::fuzz
