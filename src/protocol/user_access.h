// The 64-bit privilege set of an account and the number of every privilege bit. The same eight
// bytes, in the same order, are the account file's `access` field, a logged-in client's copy and
// the value of kFieldUserAccess on the wire, so the set is kept as those bytes: bit n lives in
// byte n / 8 under the mask 0x80 >> (n % 8) (bit 0 is the top bit of the first byte).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "framework/error.h"

namespace kx {

// Privilege bit numbers. Bits 12, 13, 18, 19 and 41..63 have no meaning and are never set.
inline constexpr unsigned myAcc_DeleteFiles = 0;
inline constexpr unsigned myAcc_UploadFiles = 1;
inline constexpr unsigned myAcc_DownloadFiles = 2;
inline constexpr unsigned myAcc_RenameFiles = 3;
inline constexpr unsigned myAcc_MoveFiles = 4;
inline constexpr unsigned myAcc_CreateFolders = 5;
inline constexpr unsigned myAcc_DeleteFolders = 6;
inline constexpr unsigned myAcc_RenameFolders = 7;
inline constexpr unsigned myAcc_MoveFolders = 8;
inline constexpr unsigned myAcc_ReadChat = 9;
inline constexpr unsigned myAcc_SendChat = 10;
inline constexpr unsigned myAcc_CreateChat = 11;
inline constexpr unsigned myAcc_CreateUsers = 14;
inline constexpr unsigned myAcc_DeleteUsers = 15;
inline constexpr unsigned myAcc_OpenUsers = 16;
inline constexpr unsigned myAcc_ModifyUsers = 17;
inline constexpr unsigned myAcc_ReadNews = 20;
inline constexpr unsigned myAcc_PostNews = 21;
inline constexpr unsigned myAcc_DisconnectUsers = 22;
inline constexpr unsigned myAcc_CannotBeDisconnected = 23;
inline constexpr unsigned myAcc_GetClientInfo = 24;
inline constexpr unsigned myAcc_UploadAnywhere = 25;
inline constexpr unsigned myAcc_AnyName = 26;
inline constexpr unsigned myAcc_NoAgreement = 27;
inline constexpr unsigned myAcc_SetFileComment = 28;
inline constexpr unsigned myAcc_SetFolderComment = 29;
inline constexpr unsigned myAcc_ViewDropBoxes = 30;
inline constexpr unsigned myAcc_MakeAliases = 31;
inline constexpr unsigned myAcc_Broadcast = 32;
inline constexpr unsigned myAcc_DeleteArticles = 33;
inline constexpr unsigned myAcc_CreateCategories = 34;
inline constexpr unsigned myAcc_DeleteCategories = 35;
inline constexpr unsigned myAcc_CreateNewsBundles = 36;
inline constexpr unsigned myAcc_DeleteNewsBundles = 37;
inline constexpr unsigned myAcc_UploadFolders = 38;
inline constexpr unsigned myAcc_DownloadFolders = 39;
inline constexpr unsigned myAcc_SendPrivMsg = 40;

inline constexpr std::size_t kUserAccessSize = 8;
inline constexpr unsigned kUserAccessBits = 64;

struct SMyUserAccess {
    std::array<std::uint8_t, kUserAccessSize> bytes{};

    constexpr void Clear() { bytes.fill(0); }

    // Sets (on) or clears bit `bit`; a bit number of 64 or more is a programming error.
    constexpr void SetPriv(unsigned bit, bool on = true) {
        if (bit >= kUserAccessBits) KX_FAIL_PARAM();
        const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        if (on)
            bytes[bit / 8] |= mask;
        else
            bytes[bit / 8] &= static_cast<std::uint8_t>(~mask);
    }
    constexpr void ClearPriv(unsigned bit) { SetPriv(bit, false); }

    // False for a bit number of 64 or more: such a bit is never held.
    constexpr bool HasPriv(unsigned bit) const {
        return bit < kUserAccessBits && (bytes[bit / 8] & (0x80u >> (bit % 8))) != 0;
    }

    // True when every bit of `other` is also set here.
    constexpr bool HasAll(const SMyUserAccess& other) const {
        for (std::size_t i = 0; i < kUserAccessSize; ++i)
            if ((bytes[i] & other.bytes[i]) != other.bytes[i]) return false;
        return true;
    }

    constexpr bool IsEmpty() const {
        for (auto b : bytes)
            if (b != 0) return false;
        return true;
    }

    // From eight bytes as stored or sent.
    static SMyUserAccess FromBytes(const std::uint8_t* src) {
        SMyUserAccess a;
        for (std::size_t i = 0; i < kUserAccessSize; ++i) a.bytes[i] = src[i];
        return a;
    }

    static constexpr SMyUserAccess FromBits(std::initializer_list<unsigned> bits) {
        SMyUserAccess a;
        for (unsigned b : bits) a.SetPriv(b);
        return a;
    }

    friend constexpr bool operator==(const SMyUserAccess&, const SMyUserAccess&) = default;
};

// What a new or reset head admin account receives: every meaningful privilege except
// myAcc_NoAgreement (bits 0-11, 14-17, 20-26, 28-40). The user list's "holds everything"
// flag tests exactly this set.
inline constexpr SMyUserAccess kFullAccessPrivs = SMyUserAccess::FromBits({
    myAcc_DeleteFiles, myAcc_UploadFiles, myAcc_DownloadFiles, myAcc_RenameFiles, myAcc_MoveFiles,
    myAcc_CreateFolders, myAcc_DeleteFolders, myAcc_RenameFolders, myAcc_MoveFolders,
    myAcc_ReadChat, myAcc_SendChat, myAcc_CreateChat,
    myAcc_CreateUsers, myAcc_DeleteUsers, myAcc_OpenUsers, myAcc_ModifyUsers,
    myAcc_ReadNews, myAcc_PostNews, myAcc_DisconnectUsers, myAcc_CannotBeDisconnected,
    myAcc_GetClientInfo, myAcc_UploadAnywhere, myAcc_AnyName,
    myAcc_SetFileComment, myAcc_SetFolderComment, myAcc_ViewDropBoxes, myAcc_MakeAliases,
    myAcc_Broadcast, myAcc_DeleteArticles, myAcc_CreateCategories, myAcc_DeleteCategories,
    myAcc_CreateNewsBundles, myAcc_DeleteNewsBundles, myAcc_UploadFolders, myAcc_DownloadFolders,
    myAcc_SendPrivMsg,
});

namespace UUserAccess {

// The rule for creating an account: nobody hands out a privilege they do not hold themselves.
// myAcc_NoAgreement is left out of the comparison (it spares its holder a text, it grants
// nothing); the stored record keeps it as requested. True when the creation must be refused.
constexpr bool ExceedsCreator(const SMyUserAccess& requested, const SMyUserAccess& creator) {
    SMyUserAccess working = requested;
    working.ClearPriv(myAcc_NoAgreement);
    return !creator.HasAll(working);
}

}  // namespace UUserAccess

}  // namespace kx
