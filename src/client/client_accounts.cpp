// The account commands of the command-line client (for administrators): list, show, add, set,
// remove and rename accounts. New passwords come from a file, never from the command line.
#include <optional>
#include <ostream>

#include "client/client_session.h"
#include "framework/file_util.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"

namespace kx {

namespace {

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }

struct SAccountArgs {
    std::string login;
    std::optional<std::string> name, password;
    std::optional<std::vector<std::uint8_t>> access;
};

std::vector<std::uint8_t> ParseAccess(const std::string& hex) {
    if (hex.size() != 16 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Bad("The access is 16 hexadecimal digits, not " + hex);
    std::vector<std::uint8_t> bytes(8);
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return bytes;
}

SAccountArgs ParseAccountArgs(const SClientOptions& opt, const char* usage) {
    SAccountArgs a;
    if (opt.args.size() < 2) Bad(std::string("Usage: kestrix HOST ") + usage);
    a.login = opt.args[1];
    for (std::size_t i = 2; i < opt.args.size(); i += 2) {
        if (i + 1 >= opt.args.size()) Bad(std::string("Usage: kestrix HOST ") + usage);
        const std::string& key = opt.args[i];
        const std::string& value = opt.args[i + 1];
        if (key == "--name") a.name = LocalToWire(value);
        else if (key == "--access") a.access = ParseAccess(value);
        else if (key == "--new-password-file") {
            const auto bytes = UFileUtil::ReadWholeFile(value, 4096);
            if (!bytes) Bad("Cannot read the password file " + value);
            std::string text(bytes->begin(), bytes->end());
            text = text.substr(0, text.find('\n'));
            if (!text.empty() && text.back() == '\r') text.pop_back();
            if (text.size() > 31) Bad("The password is longer than 31 bytes");
            a.password = text;
        } else Bad("Unknown option " + key);
    }
    if (a.login.empty() || a.login.size() > 31) Bad("Invalid login: " + a.login);
    return a;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

void PrintAccount(std::ostream& out, bool json, TFieldDataObj f) {
    const std::string name = WireToLocal(UFieldData::GetString(f, kFieldUserName));
    const std::string login = WireToLocal(UUserData::DecodeText(UFieldData::GetString(f, kFieldUserLogin)));
    const bool hasPassword = UFieldData::HasField(f, kFieldUserPassword);
    const std::string access = Hex(UFieldData::GetBytes(f, kFieldUserAccess));
    if (json) {
        out << "{\"login\":" << JsonString(login) << ",\"name\":" << JsonString(name)
            << ",\"password\":" << (hasPassword ? "true" : "false") << ",\"access\":" << JsonString(access) << "}";
    } else {
        out << login << "\t" << name << "\t" << access << (hasPassword ? "" : "\t(no password)");
    }
}

void AccountList(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    if (opt.args.size() != 1) Bad("Usage: kestrix HOST account ls");
    StFieldData req;
    SClientTran reply = link.Get().Request(kTranGetUserList, req);
    const std::uint16_t count = UFieldData::GetFieldCount(reply.Fields());
    if (opt.json) out << "[";
    bool first = true;
    for (std::uint32_t i = 1; i <= count; ++i) {
        if (UFieldData::GetFieldID(reply.Fields(), static_cast<std::uint16_t>(i)) != kFieldData) continue;
        const std::vector<std::uint8_t> entry = UFieldData::GetBytesByIndex(reply.Fields(), static_cast<std::uint16_t>(i));
        StFieldData inner(UFieldData::NewFromBytes(entry.data(), static_cast<std::uint32_t>(entry.size())));
        if (opt.json && !first) out << ",";
        PrintAccount(out, opt.json, inner);
        if (!opt.json) out << "\n";
        first = false;
    }
    if (opt.json) out << "]\n";
}

SClientTran GetAccount(CClientConnection& conn, const std::string& login) {
    StFieldData req;
    UFieldData::AddString(req, kFieldUserLogin, login);  // this request takes the login plain
    return conn.Request(kTranGetUser, req);
}

void AccountShow(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    if (opt.args.size() != 2) Bad("Usage: kestrix HOST account show LOGIN");
    SClientTran reply = GetAccount(link.Get(), opt.args[1]);
    PrintAccount(out, opt.json, reply.Fields());
    out << "\n";
}

void AccountAddOrSet(CClientLink& link, const SClientOptions& opt, bool add) {
    const SAccountArgs a = ParseAccountArgs(
        opt, add ? "account add LOGIN [--name NAME] [--new-password-file FILE] [--access BITS]"
                 : "account set LOGIN [--name NAME] [--new-password-file FILE] [--access BITS]");
    CClientConnection& conn = link.Get();
    std::string name = a.name.value_or(add ? LocalToWire(a.login) : std::string());
    std::vector<std::uint8_t> access = a.access.value_or(std::vector<std::uint8_t>(8, 0));
    if (!add) {
        // Fields not given keep their stored values.
        SClientTran current = GetAccount(conn, a.login);
        if (!a.name) name = UFieldData::GetString(current.Fields(), kFieldUserName);
        if (!a.access) access = UFieldData::GetBytes(current.Fields(), kFieldUserAccess);
        access.resize(8);
    }
    StFieldData req;
    UFieldData::AddString(req, kFieldUserName, name);
    UFieldData::AddString(req, kFieldUserLogin, UUserData::EncodeText(a.login));
    if (a.password) {
        UFieldData::AddString(req, kFieldUserPassword, UUserData::EncodeText(*a.password));
    } else if (!add) {
        const std::uint8_t keep = 0;
        UFieldData::AddField(req, kFieldUserPassword, &keep, 1);
    }
    UFieldData::AddField(req, kFieldUserAccess, access.data(), 8);
    conn.Request(add ? kTranNewUser : kTranSetUser, req);
}

void AccountRemove(CClientLink& link, const SClientOptions& opt) {
    if (opt.args.size() != 2 || opt.args[1].empty()) Bad("Usage: kestrix HOST account rm LOGIN");
    StFieldData req;
    UFieldData::AddString(req, kFieldUserLogin, UUserData::EncodeText(opt.args[1]));
    link.Get().Request(kTranDeleteUser, req);
}

// A rename goes through the account-list change, the one request that can rename: one entry
// with the account's current name and access, the new login, the password kept (a single 0
// byte) and the old login naming the account.
void AccountRename(CClientLink& link, const SClientOptions& opt) {
    if (opt.args.size() != 3) Bad("Usage: kestrix HOST account rename OLD NEW");
    const std::string& oldLogin = opt.args[1];
    const std::string& newLogin = opt.args[2];
    for (const std::string& login : {oldLogin, newLogin})
        if (login.empty() || login.size() > 31) Bad("Invalid login: " + login);
    CClientConnection& conn = link.Get();
    SClientTran current = GetAccount(conn, oldLogin);
    std::vector<std::uint8_t> access = UFieldData::GetBytes(current.Fields(), kFieldUserAccess);
    access.resize(8);
    StFieldData entry;
    UFieldData::AddString(entry, kFieldUserName, UFieldData::GetString(current.Fields(), kFieldUserName));
    UFieldData::AddString(entry, kFieldUserLogin, UUserData::EncodeText(newLogin));
    const std::uint8_t keep = 0;
    UFieldData::AddField(entry, kFieldUserPassword, &keep, 1);
    UFieldData::AddField(entry, kFieldUserAccess, access.data(), 8);
    UFieldData::AddString(entry, kFieldData, UUserData::EncodeText(oldLogin));
    StFieldData req;
    UFieldData::AddFieldList(req, kFieldData, entry);
    conn.Request(kTranSetUserList, req);
}

}  // namespace

void RunAccountCommand(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    const std::string sub = opt.args.empty() ? std::string() : opt.args[0];
    if (sub == "ls") AccountList(link, opt, out);
    else if (sub == "show") AccountShow(link, opt, out);
    else if (sub == "add") AccountAddOrSet(link, opt, true);
    else if (sub == "set") AccountAddOrSet(link, opt, false);
    else if (sub == "rm") AccountRemove(link, opt);
    else if (sub == "rename") AccountRename(link, opt);
    else Bad("Usage: kestrix HOST account ls|show|add|set|rm|rename ...");
}

}  // namespace kx
