// Temporary and permanent ban lists.
#include "admin/ban_list.h"

#include <algorithm>

#include "framework/clock.h"
#include "fs/mac_roman.h"

namespace kx {

std::string PermBanDisconnectLogText(std::string_view nameOrAddress) {
    return "Disconnect & permanent ban " + UMacRoman::Quoted(nameOrAddress);
}

CMyBanLists::CMyBanLists(std::string programFolder) : mFolder(std::move(programFolder)) {}

bool CMyBanLists::IsTempBanned(const SIPAddress& address) {
    RemoveOldTempBans();
    return std::any_of(mTempBanList.begin(), mTempBanList.end(),
                       [&](const BanRecord& r) { return r.Match(address); });
}

void CMyBanLists::AddTempBan(const SIPAddress& address) {
    if (mTempBanList.size() >= kMaxTempBans) mTempBanList.erase(mTempBanList.begin());
    BanRecord rec;
    rec.nActive = 1;
    rec.nAddrFirst = rec.nAddrLast = address;
    rec.psDateTime.Set(MakeBanDateText());
    rec.timeout = UClock::UpSeconds() + kTempBanSeconds;
    mTempBanList.push_back(rec);
}

void CMyBanLists::RemoveOldTempBans() {
    const std::uint32_t now = UClock::UpSeconds();
    std::erase_if(mTempBanList, [now](const BanRecord& r) { return r.timeout <= now; });
}

bool CMyBanLists::IsPermBanned(const SIPAddress& address) const {
    return std::any_of(mPermBanList.begin(), mPermBanList.end(),
                       [&](const BanRecord& r) { return r.Match(address); });
}

void CMyBanLists::AddPermBan(const SIPAddress& first, const SIPAddress& last, std::string_view reason) {
    BanList list;
    ReadPermBanInfo(list);
    while (list.size() >= kMaxPermBans) list.erase(list.begin());
    BanRecord rec;
    rec.nActive = 1;
    rec.nAddrFirst = first;
    rec.nAddrLast = last;
    rec.psDateTime.Set(MakeBanDateText());
    rec.timeout = kBanNoTimeout;
    rec.description.Set(reason);
    list.push_back(rec);
    WritePermBanInfo(list);
}

std::string CMyBanLists::GetPermBanSpec() const {
    if (mFolder.empty()) return kBanFileName;
    return mFolder + (mFolder.back() == '/' ? "" : "/") + kBanFileName;
}

void CMyBanLists::MakePermBanBackup() const { UBanFile::MakePermBanBackup(GetPermBanSpec()); }

EBanFileRead CMyBanLists::ReadPermBanInfo(BanList& list) const {
    return UBanFile::ReadPermBanInfo(GetPermBanSpec(), list);
}

void CMyBanLists::WritePermBanInfo(BanList& list) {
    if (list.size() > kMaxPermBans) list.erase(list.begin(), list.end() - kMaxPermBans);
    ClearPermBanList();
    for (const BanRecord& rec : list)
        if (rec.nActive) mPermBanList.push_back(rec);
    BanList written;
    written.swap(list);
    UBanFile::WritePermBanFile(GetPermBanSpec(), written);
}

void CMyBanLists::ReadPermBanList() {
    BanList list;
    ReadPermBanInfo(list);
    ClearPermBanList();
    for (const BanRecord& rec : list)
        if (rec.nActive) mPermBanList.push_back(rec);
}

}  // namespace kx
