// The operator's commands: parsing a line and carrying it out on the application.
#include "console/console_commands.h"

#include <algorithm>
#include <charconv>

#include "accounts/admin_account.h"
#include "accounts/login_name.h"
#include "admin/ip_range.h"
#include "console/option_settings.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"
#include "server/application.h"
#include "server/stats.h"

namespace kx {

namespace {

std::string_view Trim(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

// The first word of `v` and, in `rest`, what follows it (trimmed).
std::string_view FirstWord(std::string_view v, std::string_view& rest) {
    v = Trim(v);
    const std::size_t sp = v.find_first_of(" \t");
    if (sp == std::string_view::npos) {
        rest = {};
        return v;
    }
    rest = Trim(v.substr(sp + 1));
    return v.substr(0, sp);
}

std::string Line(std::string_view text) { return std::string(text) + "\n"; }

bool IsAddressText(std::string_view v) {
    if (v.empty() || v.size() > 15) return false;
    if (!std::all_of(v.begin(), v.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) return false;
    SIPAddress a;
    return std::count(v.begin(), v.end(), '.') == 3 && ParseDottedAddress(v, a);
}

bool IsCount(std::string_view v) {
    return !v.empty() && v.size() <= 10 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A range as the operator types it, checked strictly: the ban file's reader is forgiving (a
// part that is not an address counts as 0), and "junk-1.2.3.4" must not ban 0.0.0.0 upwards.
bool ParseBanRange(std::string_view text, SIPAddress& first, SIPAddress& last, std::string& error) {
    error = "not an address range: use a.b.c.d, a.b.c.d-e.f.g.h, a.b.c.d+n or a.b.c.d/n";
    if (text.empty() || text.size() > kMaxIPRangeText) return false;
    const std::size_t op = text.find_first_of("-+/");
    const std::string_view left = text.substr(0, op);
    if (!IsAddressText(left)) return false;
    if (op != std::string_view::npos) {
        const std::string_view right = text.substr(op + 1);
        if (text[op] == '-' ? !IsAddressText(right) : !IsCount(right)) return false;
    }
    IPrangeFromString(text, first, last);
    if (IPrangeToString(first, last).empty() && !(text == "0.0.0.0")) return false;
    if (first.AsHostOrder() > last.AsHostOrder()) {
        error = "the first address of the range is above the last";
        return false;
    }
    return true;
}

bool ParseIndex(std::string_view v, std::size_t count, std::size_t& index) {
    std::size_t n = 0;
    const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (v.empty() || ec != std::errc() || ptr != v.data() + v.size() || n < 1 || n > count) return false;
    index = n - 1;
    return true;
}

std::string BanLine(std::size_t number, const BanRecord& r) {
    std::string line = std::to_string(number) + ". " + (r.nActive ? "active  " : "inactive") + "  " +
                       r.IPrangeToString() + "  " + r.psDateTime.Str();
    if (!r.description.IsEmpty()) line += "  " + UMacRoman::ToUtf8(r.description.View());
    return Line(line);
}

}  // namespace

std::string CMyConsoleCommands::Execute(std::string_view line) {
    std::string_view rest;
    const std::string_view cmd = FirstWord(line, rest);
    if (cmd.empty() || cmd.front() == '#') return {};
    try {
        if (cmd == "help" || cmd == "?") return Help();
        if (cmd == "stats") return Stats();
        if (cmd == "broadcast") return Broadcast(rest);
        if (cmd == "reload") return Reload();
        if (cmd == "quit") return QuitCommand(rest);
        if (cmd == "cancel") return Cancel();
        if (cmd == "options") return ShowOptions();
        if (cmd == "set") return SetOption(rest);
        if (cmd == "bans" || cmd == "ban") return Bans(rest);
        if (cmd == "admin") return Admin(rest);
    } catch (const SError& err) {
        return Line("Failed: " + UError::GetMessage(err) + " (" + UError::GetDetail(err) + ")");
    }
    return Line("Unknown command \"" + std::string(cmd) + "\"; \"help\" lists the commands.");
}

std::string CMyConsoleCommands::Help() const {
    std::string out =
        "Commands:\n"
        "  stats                          the statistics\n"
        "  broadcast TEXT                 send TEXT to every logged-in client\n"
        "  reload                         reload the message board, the agreement and the web files\n"
        "  quit                           quit now\n"
        "  quit MESSAGE                   send MESSAGE to the clients; quit when the last has left\n"
        "  cancel                         cancel a quit under way\n"
        "  options                        show the options\n"
        "  set NAME VALUE                 change an option (also NAME=VALUE)\n"
        "  bans                           list the permanent bans\n"
        "  ban add RANGE [REASON]         ban a.b.c.d, a.b.c.d-e.f.g.h, a.b.c.d+n or a.b.c.d/n\n"
        "  ban deactivate N | activate N  keep ban N in the list but do not apply it, or apply it again\n"
        "  ban remove N                   remove ban N\n"
        "  admin                          show the head administrator account\n"
        "  admin reset [PASSWORD]         restore its full privileges (and set a new password)\n"
        "  admin select LOGIN             make an existing account the head administrator\n"
        "  admin create LOGIN PASSWORD    create a head administrator account\n"
        "Options:\n";
    for (const auto& [name, what] : UOptionSettings::Describe()) out += "  " + name + ": " + what + "\n";
    out += "Extended options (kestrix.conf; \"set NAME default\" restores the default):\n";
    for (const auto& [name, what] : CMyExtendedOptions::Describe()) out += "  " + name + ": " + what + "\n";
    return out;
}

std::string CMyConsoleCommands::Stats() const {
    std::string out;
    for (const std::string& l : FormatStatsLines(mApp.Stats(), mApp.ConsoleTransferCounts())) out += Line(l);
    return out;
}

std::string CMyConsoleCommands::Broadcast(std::string_view text) {
    if (text.empty()) return Line("Nothing to broadcast: give the text after \"broadcast\".");
    if (mApp.ListenPort() == 0) return Line("Nothing sent: the server is not listening.");
    std::string macRoman;
    if (!UMacRoman::FromUtf8(text, macRoman))
        return Line("Nothing sent: the text holds characters that clients cannot show (Mac OS Roman only).");
    const std::size_t sent = mApp.ConsoleBroadcast(macRoman);
    return Line("Sent to " + std::to_string(sent) + (sent == 1 ? " client." : " clients."));
}

std::string CMyConsoleCommands::Reload() {
    mApp.ReloadTexts();
    return Line("Message board and agreement reloaded.");
}

std::string CMyConsoleCommands::QuitCommand(std::string_view farewell) {
    if (farewell.empty()) {
        mApp.Quit();
        return Line("Quitting.");
    }
    std::string macRoman;
    if (!UMacRoman::FromUtf8(farewell, macRoman))
        return Line("Not quitting: the message holds characters that clients cannot show (Mac OS Roman only).");
    mApp.UserQuit(macRoman);
    if (mApp.HasQuit()) return Line("Quitting.");
    return Line("Farewell sent. The server quits when the last client has left (\"cancel\" keeps it running).");
}

std::string CMyConsoleCommands::Cancel() {
    if (!mApp.IsQuitting()) return Line("No quit is under way.");
    mApp.CancelQuit();
    return Line("Quit cancelled.");
}

std::string CMyConsoleCommands::ShowOptions() const {
    std::string out;
    for (const auto& [name, value] : UOptionSettings::List(mApp.CurrentPrefs())) out += Line(name + " = " + value);
    for (const auto& [name, value] : mApp.ExtendedOptions().List()) out += Line(name + " = " + value);
    return out;
}

std::string CMyConsoleCommands::SetOption(std::string_view args) {
    std::string name, value;
    if (!UOptionSettings::SplitAssignment(args, name, value)) {
        std::string_view rest;
        name = std::string(FirstWord(args, rest));
        value = std::string(rest);
    }
    if (name.empty()) return Line("Usage: set NAME VALUE (\"options\" lists the names).");
    std::string error;
    if (CMyExtendedOptions::Find(Trim(name)) != nullptr) {
        std::vector<std::string> notes;
        if (!mApp.SetExtendedOption(std::string(Trim(name)), value, notes, error)) return Line(error + ". Nothing changed.");
        std::string out;
        for (const std::string& note : notes) out += Line(note);
        return out + Line("Options saved.");
    }
    SMyPrefs edited = mApp.CurrentPrefs();
    if (!UOptionSettings::Set(edited, name, value, error)) return Line(error + ". Nothing changed.");
    std::string out;
    for (const std::string& note : mApp.ApplyOptions(edited)) out += Line(note);
    return out + Line("Options saved.");
}

std::string CMyConsoleCommands::Bans(std::string_view args) {
    std::string_view rest;
    const std::string_view sub = FirstWord(args, rest);
    BanList list;
    mApp.Bans().ReadPermBanInfo(list);

    if (sub.empty() || sub == "list") {
        if (list.empty()) return Line("No permanent bans.");
        std::string out;
        for (std::size_t i = 0; i < list.size(); ++i) out += BanLine(i + 1, list[i]);
        return out;
    }
    if (sub == "add") {
        std::string_view reason;
        const std::string_view range = FirstWord(rest, reason);
        BanRecord r;
        std::string error;
        if (!ParseBanRange(range, r.nAddrFirst, r.nAddrLast, error)) return Line(error + ". Nothing changed.");
        std::string reasonText;
        if (!UMacRoman::FromUtf8(reason, reasonText))
            return Line("The reason holds characters that cannot be stored (Mac OS Roman only). Nothing changed.");
        r.description.Set(reasonText);
        r.psDateTime.Set(MakeBanDateText());
        list.push_back(r);
        ++mApp.Stats().permBansAdded;
        const std::size_t dropped = mApp.SavePermBans(list);
        return Line("Ban added: " + r.IPrangeToString() + ". " + std::to_string(dropped) + " client(s) disconnected.");
    }
    if (sub == "deactivate" || sub == "activate" || sub == "remove") {
        std::size_t index = 0;
        if (!ParseIndex(rest, list.size(), index))
            return Line("Give the number of a ban as \"bans\" lists it (1 to " + std::to_string(list.size()) +
                        "). Nothing changed.");
        const std::string range = list[index].IPrangeToString();
        if (sub == "remove") list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        else list[index].nActive = sub == "activate" ? 1 : 0;
        const std::size_t dropped = mApp.SavePermBans(list);
        std::string out = "Ban " + range + (sub == "remove" ? " removed." : sub == "activate" ? " activated." : " deactivated.");
        if (dropped) out += " " + std::to_string(dropped) + " client(s) disconnected.";
        return Line(out);
    }
    return Line("Usage: bans | ban add RANGE [REASON] | ban deactivate N | ban activate N | ban remove N");
}

std::string CMyConsoleCommands::Admin(std::string_view args) {
    std::string_view rest;
    const std::string_view sub = FirstWord(args, rest);
    CMyAccountStore& store = mApp.Accounts();
    const std::string current = mApp.mAdminLogin;

    if (sub.empty()) {
        switch (UAdminAccount::CheckAdminAccount(store, current)) {
            case UAdminAccount::EAdminState::kReady:
                return Line("Head administrator: " + current + ".");
            case UAdminAccount::EAdminState::kNoPassword:
                return Line("Head administrator: " + current + " (no password: \"admin reset PASSWORD\" sets one).");
            case UAdminAccount::EAdminState::kMissing:
                break;
        }
        return Line("Head administrator: " + current + " (the account does not exist: \"admin create " + current +
                    " PASSWORD\" creates it).");
    }
    if (sub == "reset") {
        if (rest.size() > UAdminAccount::kAdminPasswordMax) return Line(UAdminAccount::kPasswordTooLongText);
        if (!store.ExistsUser(current))
            return Line("The account " + current + " does not exist: \"admin create " + current + " PASSWORD\" creates it.");
        if (!UAdminAccount::SetAdmin(store, current, rest, true)) return Line("The account could not be written.");
        return Line("Full privileges of " + current + " restored" + (rest.empty() ? "." : "; password changed."));
    }
    if (sub == "select") {
        const std::string login(rest);
        if (login.empty()) return Line("Usage: admin select LOGIN");
        SMyUserDataFile rec;
        try {
            rec = store.GetUser(login);
        } catch (const SError&) {
            return Line("There is no account " + login + ". Nothing changed.");
        }
        std::string out;
        mApp.SetHeadAdminLogin(login);
        out = Line("Head administrator is now " + login + ".");
        if (UAdminAccount::LacksFullAccess(rec))
            out += Line("The account lacks some privileges; \"admin reset\" restores them.");
        return out;
    }
    if (sub == "create") {
        std::string_view password;
        const std::string login(FirstWord(rest, password));
        if (login.empty()) return Line("Usage: admin create LOGIN PASSWORD");
        const std::string valid = UAccountLogin::MakeValidLogin(login);
        if (valid != login)
            return Line(std::string(UAdminAccount::kInvalidLoginTitle) + ": " + UAdminAccount::kInvalidLoginText +
                        " Try \"" + valid + "\". Nothing changed.");
        if (store.ExistsUser(login)) {
            mApp.SetHeadAdminLogin(login);
            return Line("The account " + login + " exists and is now the head administrator, unchanged.");
        }
        if (password.empty()) return Line("Usage: admin create LOGIN PASSWORD (a new account needs a password).");
        if (password.size() > UAdminAccount::kAdminPasswordMax) return Line(UAdminAccount::kPasswordTooLongText);
        if (!UAdminAccount::SetAdmin(store, login, password, true)) return Line("The account could not be created.");
        mApp.SetHeadAdminLogin(login);
        return Line("Account " + login + " created; it is now the head administrator.");
    }
    return Line("Usage: admin | admin reset [PASSWORD] | admin select LOGIN | admin create LOGIN PASSWORD");
}

}  // namespace kx
