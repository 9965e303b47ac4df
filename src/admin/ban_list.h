// The server's two ban lists. Temporary bans (at most 32, memory only) cover one address for
// 30 minutes and come from the flood rules and from administrators' disconnects. Permanent
// bans (the active records of the ban file "Banned", at most 500) cover address ranges and
// are changed only through the file: every change rewrites it and rebuilds the list.
//
// The application owns one CMyBanLists; everything runs on the application thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "admin/ban_file.h"
#include "admin/ban_record.h"

namespace kx {

inline constexpr std::size_t kMaxTempBans = 32;
inline constexpr std::uint32_t kTempBanSeconds = 1800;

inline constexpr std::string_view kPermBannedText = "You are permanently banned on this server.";
inline constexpr std::string_view kTempBannedText = "You are temporarily banned on this server.";

// The log text for a client dropped because of a permanent ban: name (or peer address) between
// the Mac Roman curly quotes 0xD2 and 0xD3.
std::string PermBanDisconnectLogText(std::string_view nameOrAddress);

class CMyBanLists {
public:
    // `programFolder`: where "Banned" and "Banned.bak" live.
    explicit CMyBanLists(std::string programFolder);

    // --- temporary bans (times are UClock::UpSeconds) ---
    // Drops expired bans, then answers whether one covers the address.
    bool IsTempBanned(const SIPAddress& address);
    // Bans one address for kTempBanSeconds; when 32 bans are held the oldest gives way.
    void AddTempBan(const SIPAddress& address);
    // Drops every temporary ban whose time has come (timeout at or before now).
    void RemoveOldTempBans();
    const BanList& TempBans() const { return mTempBanList; }

    // --- permanent bans ---
    bool IsPermBanned(const SIPAddress& address) const;
    // Adds a ban for first..last to the file (the oldest gives way when it holds 500), with the
    // reason cut to 63 bytes, then rewrites the file and rebuilds the list. Raises on write failure.
    void AddPermBan(const SIPAddress& first, const SIPAddress& last, std::string_view reason = {});
    // The path of "Banned".
    std::string GetPermBanSpec() const;
    void MakePermBanBackup() const;
    // The whole file (inactive records included) into `list`; see UBanFile::ReadPermBanInfo.
    EBanFileRead ReadPermBanInfo(BanList& list) const;
    // Rewrites the file from `list` (the console's save, or AddPermBan) and makes its active
    // records the permanent list; `list` ends empty. The permanent list follows `list` even
    // when the file cannot be written (the error is then raised).
    void WritePermBanInfo(BanList& list);
    // At start-up: the file's active records become the permanent list.
    void ReadPermBanList();
    void ClearPermBanList() { mPermBanList.clear(); }
    const BanList& PermBans() const { return mPermBanList; }

    // The sweep after the operator saved the ban list: calls disconnect(client) for every
    // client of `clients` whose address, addressOf(client), is permanently banned, and returns
    // how many. The application's `disconnect` sends kPermBannedText as kTranServerMsg, starts
    // an orderly disconnect, posts the wake-up message and logs PermBanDisconnectLogText(...).
    // `disconnect` must not add or remove clients while the sweep runs.
    template <class ClientRange, class AddressOf, class Disconnect>
    std::size_t DisconnectPermBan(ClientRange&& clients, AddressOf&& addressOf, Disconnect&& disconnect) const {
        std::size_t count = 0;
        for (auto&& client : clients) {
            if (IsPermBanned(addressOf(client))) {
                disconnect(client);
                ++count;
            }
        }
        return count;
    }

private:
    std::string mFolder;
    BanList mTempBanList;  // oldest first
    BanList mPermBanList;  // file order
};

}  // namespace kx
