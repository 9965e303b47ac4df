// Helpers for tests that drive the real server binary over the wire: a program folder whose
// "pref" allows any number of connections from one address, accounts written before start-up,
// logged-in clients, and the server's resident memory.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "accounts/account_store.h"
#include "framework/file_util.h"
#include "protocol/transaction_types.h"
#include "protocol/user_access.h"
#include "protocol/user_data.h"
#include "server/pref_file.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace kx::test {

// Writes a "pref" into `programDir` (free ports, no per-address connection limit) and returns
// the base port.
inline unsigned short WriteOpenPrefs(const std::string& programDir) {
    UFileUtil::EnsureDirectory(programDir);
    const unsigned short port = FindFreeBasePort();
    SMyPrefs prefs = SMyPrefs::Defaults();
    prefs.mOptions.nBasePortNum = port;
    prefs.mOptions.nMaxConnectionsIP = 0;
    prefs.mServerName.Set("Test Server");
    UMyPrefs::WritePrefs(UMyPrefs::GetPrefsSpec(programDir), prefs);
    return port;
}

// Creates an account in `programDir`/Users before the server starts.
inline void WriteAccount(const std::string& programDir, const std::string& login, const std::string& password,
                         const SMyUserAccess& access) {
    UFileUtil::EnsureDirectory(programDir + "/Users");
    UFileUtil::EnsureDirectory(programDir + "/Trash");
    CMyAccountStore store(programDir + "/Users", programDir + "/Trash");
    SMyUserDataFile rec;
    rec.SetLogin(login);
    rec.SetName(login);
    rec.SetPassword(UUserData::EncodeText(password));
    rec.access = access;
    store.NewUser(rec);
}

// A client that has connected (from `source`, or 127.0.0.1 when empty), established and completed
// a login with a name and an icon (so no agreement step is needed); nullptr (and a test failure)
// when any step fails. Tests that log in more than ten times pass NextLoopbackSource(): the
// server bans an address that connects more than ten times in a row within 30 seconds.
inline std::unique_ptr<CTestClient> LogInOverWire(unsigned short port, const std::string& login,
                                                  const std::string& password, const std::string& name,
                                                  const std::string& source = "", int receiveBuffer = 0) {
    auto c = std::make_unique<CTestClient>();
    c->SetSourceAddress(source);
    c->SetReceiveBuffer(receiveBuffer);
    if (!c->Connect(port) || c->Establish() != std::optional<std::uint32_t>(0)) {
        ADD_FAILURE() << "connect/establish failed for " << name << ": " << c->LastError();
        return nullptr;
    }
    const std::uint32_t id = c->SendRequest(kTranLogin, LoginFields(login, password, name, 128));
    auto reply = c->ReadReplyTo(id);
    if (!reply || reply->hdr.error != 0) {
        ADD_FAILURE() << "login refused for " << name;
        return nullptr;
    }
    return c;
}

// VmRSS of a process in KiB (0 when unreadable).
inline long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace kx::test
