// The one-shot commands of the command-line client: users and messages, the message board, the
// file tree and disconnecting users. Each sends its request, waits for the reply and prints the
// result as text or, with --json, as one JSON value.
#include <cstring>
#include <ostream>
#include <unistd.h>

#include "client/client_session.h"
#include "framework/byte_codec.h"
#include "fs/file_path.h"
#include "fs/mac_roman.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"

namespace kx {

namespace {

[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }

void NeedArgs(const SClientOptions& opt, std::size_t min, std::size_t max, const char* usage) {
    if (opt.args.size() < min || opt.args.size() > max) Bad(std::string("Usage: kestrix HOST ") + usage);
}

}  // namespace

std::vector<SUserEntry> GetUsers(CClientConnection& conn) {
    StFieldData req;
    SClientTran reply = conn.Request(kTranGetUserNameList, req);
    std::vector<SUserEntry> users;
    const std::uint16_t count = UFieldData::GetFieldCount(reply.Fields());
    for (std::uint32_t i = 1; i <= count; ++i) {
        if (UFieldData::GetFieldID(reply.Fields(), static_cast<std::uint16_t>(i)) != kFieldUserNameWithInfo) continue;
        const std::vector<std::uint8_t> b = UFieldData::GetBytesByIndex(reply.Fields(), static_cast<std::uint16_t>(i));
        if (b.size() < 8) continue;
        const std::size_t len = std::min<std::size_t>(GetBE16(b.data() + 6), b.size() - 8);
        users.push_back({GetBE16(b.data() + 0), GetBE16(b.data() + 2), GetBE16(b.data() + 4),
                         UMacRoman::ToUtf8(std::string_view(reinterpret_cast<const char*>(b.data()) + 8, len))});
    }
    return users;
}

std::uint16_t FindUser(const std::vector<SUserEntry>& users, const std::string& who) {
    if (who.size() > 1 && who[0] == '#') {
        const std::string digits = who.substr(1);
        if (digits.find_first_not_of("0123456789") == std::string::npos && digits.size() <= 5) {
            const unsigned long id = std::stoul(digits);
            if (id > 0 && id <= 0xFFFF) return static_cast<std::uint16_t>(id);
        }
        Bad("Invalid user ID: " + who);
    }
    for (const SUserEntry& u : users)
        if (u.name == who) return u.id;
    throw SClientFailure(kExitServerError, "No user named " + who + " is online.");
}

namespace {

std::uint16_t FindUser(CClientConnection& conn, const std::string& who) { return FindUser(GetUsers(conn), who); }

// Path data and the last name of a client path ("a/b/c"); empty names are skipped.
struct SSplitPath {
    std::vector<std::uint8_t> folder;  // path data of the enclosing folder
    std::string name;                  // Mac OS Roman
    std::vector<std::uint8_t> whole;   // path data of the item itself
};

std::vector<std::string> PathNames(const std::string& path) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!part.empty()) {
            std::string wire;
            if (!UMacRoman::FromUtf8(part, wire)) Bad("The name " + part + " cannot be given to the server");
            if (wire.size() > kMaxNameLength) Bad("The name " + part + " is too long");
            names.push_back(wire);
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return names;
}

SSplitPath SplitPath(const std::string& path) {
    std::vector<std::string> names = PathNames(path);
    SSplitPath out;
    if (names.empty()) Bad("A path naming an item is needed");
    out.whole = UFilePath::Build(names);
    out.name = names.back();
    names.pop_back();
    if (!names.empty()) out.folder = UFilePath::Build(names);
    return out;
}

void AddPath(TFieldDataObj f, std::uint16_t id, const std::vector<std::uint8_t>& data) {
    if (!data.empty()) UFieldData::AddField(f, id, data.data(), static_cast<std::uint32_t>(data.size()));
}

void AddItem(TFieldDataObj f, const SSplitPath& p) {
    UFieldData::AddString(f, kFieldFileName, p.name);
    AddPath(f, kFieldFilePath, p.folder);
}


// A type or creator code as text; all zero (a folder's creator) is empty.
std::string Code(const std::vector<std::uint8_t>& b, std::size_t at) {
    if (!b[at] && !b[at + 1] && !b[at + 2] && !b[at + 3]) return {};
    return UMacRoman::ToUtf8(std::string_view(reinterpret_cast<const char*>(b.data()) + at, 4));
}

void PrintText(std::ostream& out, bool json, const char* key, const std::string& text) {
    if (json) {
        out << "{" << JsonString(key) << ":" << JsonString(text) << "}\n";
    } else {
        out << text;
        if (!text.empty() && text.back() != '\n') out << "\n";
    }
}

void CmdUsers(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    NeedArgs(opt, 0, 0, "users");
    CClientConnection& conn = link.Get();
    const std::vector<SUserEntry> users = GetUsers(conn);
    if (opt.json) {
        out << "[";
        for (std::size_t i = 0; i < users.size(); ++i) {
            const SUserEntry& u = users[i];
            out << (i ? "," : "") << "{\"id\":" << u.id << ",\"icon\":" << u.icon << ",\"flags\":" << u.flags
                << ",\"name\":" << JsonString(u.name) << "}";
        }
        out << "]\n";
        return;
    }
    for (const SUserEntry& u : users) {
        out << "#" << u.id << "\t" << u.name;
        if (u.flags & 0x02) out << " (admin)";
        if (u.flags & 0x01) out << " (away)";
        out << "\n";
    }
}

void CmdInfo(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    NeedArgs(opt, 1, 1, "info USER");
    CClientConnection& conn = link.Get();
    StFieldData req;
    UFieldData::AddInteger(req, kFieldUserID, FindUser(conn, opt.args[0]));
    SClientTran reply = conn.Request(kTranGetClientInfoText, req);
    const std::string text = WireToLocal(UFieldData::GetString(reply.Fields(), kFieldData));
    const std::string name = WireToLocal(UFieldData::GetString(reply.Fields(), kFieldUserName));
    if (opt.json) out << "{\"name\":" << JsonString(name) << ",\"text\":" << JsonString(text) << "}\n";
    else PrintText(out, false, "text", text);
}

// Chat lines are not answered; a keep-alive round trip makes sure the line was handled, and a
// refusal notice that came meanwhile is reported.
void CmdSay(CClientLink& link, const SClientOptions& opt) {
    NeedArgs(opt, 1, 1, "say TEXT");
    CClientConnection& conn = link.Get();
    StFieldData req;
    UFieldData::AddString(req, kFieldData, LocalToWire(opt.args[0]));
    conn.Send(kTranChatSend, req);
    StFieldData ping;
    conn.Request(kTranKeepConnectionAlive, ping);
    SClientTran t;
    while (conn.HasQueuedNotice() && conn.NextNotice(t, 0)) {
        if (t.hdr.type == kTranServerMsg && UFieldData::GetInteger(t.Fields(), kFieldChatOptions) == 1 &&
            !UFieldData::HasField(t.Fields(), kFieldUserID))
            throw SClientFailure(kExitServerError, WireToLocal(UFieldData::GetString(t.Fields(), kFieldData)));
    }
}

void CmdMsg(CClientLink& link, const SClientOptions& opt) {
    NeedArgs(opt, 2, 2, "msg USER TEXT");
    CClientConnection& conn = link.Get();
    StFieldData req;
    UFieldData::AddInteger(req, kFieldUserID, FindUser(conn, opt.args[0]));
    UFieldData::AddInteger(req, kFieldOptions, 1);
    UFieldData::AddString(req, kFieldData, LocalToWire(opt.args[1]));
    conn.Request(kTranSendInstantMsg, req);
}

void CmdBroadcast(CClientLink& link, const SClientOptions& opt) {
    NeedArgs(opt, 1, 1, "broadcast TEXT");
    CClientConnection& conn = link.Get();
    StFieldData req;
    UFieldData::AddString(req, kFieldData, LocalToWire(opt.args[0]));
    conn.Request(kTranUserBroadcast, req);
}

void CmdBoard(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    NeedArgs(opt, 0, 0, "board");
    CClientConnection& conn = link.Get();
    StFieldData req;
    SClientTran reply = conn.Request(kTranGetMsgs, req);
    PrintText(out, opt.json, "text", WireToLocal(UFieldData::GetString(reply.Fields(), kFieldData)));
}

void CmdPost(CClientLink& link, const SClientOptions& opt, int stdinFd) {
    NeedArgs(opt, 1, 1, "post TEXT|-");
    std::string text = opt.args[0] == "-" ? ReadClientInput(stdinFd) : opt.args[0];
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty()) Bad("Nothing to post");
    StFieldData req;
    UFieldData::AddString(req, kFieldData, LocalToWire(text));
    CClientConnection& conn = link.Get();
    conn.Request(kTranPostMsg, req);
}

void CmdLs(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    NeedArgs(opt, 0, 1, "ls [PATH]");
    StFieldData req;
    const std::vector<std::string> names = PathNames(opt.args.empty() ? "" : opt.args[0]);
    if (!names.empty()) AddPath(req, kFieldFilePath, UFilePath::Build(names));
    CClientConnection& conn = link.Get();
    SClientTran reply = conn.Request(kTranGetFileNameList, req);
    const std::uint16_t count = UFieldData::GetFieldCount(reply.Fields());
    if (opt.json) out << "[";
    bool first = true;
    for (std::uint32_t i = 1; i <= count; ++i) {
        if (UFieldData::GetFieldID(reply.Fields(), static_cast<std::uint16_t>(i)) != kFieldFileNameWithInfo) continue;
        const std::vector<std::uint8_t> b = UFieldData::GetBytesByIndex(reply.Fields(), static_cast<std::uint16_t>(i));
        if (b.size() < 20) continue;
        const std::size_t len = std::min<std::size_t>(GetBE16(b.data() + 18), b.size() - 20);
        const std::string name =
            UMacRoman::ToUtf8(std::string_view(reinterpret_cast<const char*>(b.data()) + 20, len));
        const std::string type = Code(b, 0);
        const bool folder = type == "fldr";
        const std::uint32_t size = GetBE32(b.data() + 8);
        if (opt.json) {
            out << (first ? "" : ",") << "{\"name\":" << JsonString(name) << ",\"folder\":" << (folder ? "true" : "false")
                << ",\"type\":" << JsonString(type) << ",\"creator\":" << JsonString(Code(b, 4))
                << (folder ? ",\"items\":" : ",\"size\":") << size << "}";
        } else if (folder) {
            out << name << "/\t" << size << " items\n";
        } else {
            out << name << "\t" << size << "\n";
        }
        first = false;
    }
    if (opt.json) out << "]\n";
}

void CmdStat(CClientLink& link, const SClientOptions& opt, std::ostream& out) {
    NeedArgs(opt, 1, 1, "stat PATH");
    StFieldData req;
    AddItem(req, SplitPath(opt.args[0]));
    CClientConnection& conn = link.Get();
    SClientTran reply = conn.Request(kTranGetFileInfo, req);
    TFieldDataObj f = reply.Fields();
    const std::string name = WireToLocal(UFieldData::GetString(f, kFieldFileName));
    const std::string kind = WireToLocal(UFieldData::GetString(f, kFieldFileTypeString));
    const std::string creator = WireToLocal(UFieldData::GetString(f, kFieldFileCreatorString));
    const bool hasSize = UFieldData::HasField(f, kFieldFileSize);
    const auto size = static_cast<std::uint32_t>(UFieldData::GetInteger(f, kFieldFileSize));
    if (opt.json) {
        out << "{\"name\":" << JsonString(name) << ",\"kind\":" << JsonString(kind)
            << ",\"creator\":" << JsonString(creator);
        if (hasSize) out << ",\"size\":" << size;
        out << "}\n";
        return;
    }
    out << "Name: " << name << "\nKind: " << kind << "\nCreator: " << creator << "\n";
    if (hasSize) out << "Size: " << size << "\n";
}

void CmdItem(CClientLink& link, const SClientOptions& opt, std::uint16_t type, const char* usage) {
    NeedArgs(opt, 1, 1, usage);
    StFieldData req;
    AddItem(req, SplitPath(opt.args[0]));
    CClientConnection& conn = link.Get();
    conn.Request(type, req);
}

void CmdMoveOrAlias(CClientLink& link, const SClientOptions& opt, std::uint16_t type, const char* usage) {
    NeedArgs(opt, 2, 2, usage);
    StFieldData req;
    AddItem(req, SplitPath(opt.args[0]));
    const std::vector<std::string> dest = PathNames(opt.args[1]);
    if (!dest.empty()) AddPath(req, kFieldFileNewPath, UFilePath::Build(dest));
    CClientConnection& conn = link.Get();
    conn.Request(type, req);
}

void CmdRename(CClientLink& link, const SClientOptions& opt) {
    NeedArgs(opt, 2, 2, "rename PATH NAME");
    StFieldData req;
    AddItem(req, SplitPath(opt.args[0]));
    std::string wire;
    if (opt.args[1].empty() || opt.args[1].find('/') != std::string::npos || !UMacRoman::FromUtf8(opt.args[1], wire) ||
        wire.size() > kMaxNameLength)
        Bad("Invalid new name: " + opt.args[1]);
    UFieldData::AddString(req, kFieldFileNewName, wire);
    CClientConnection& conn = link.Get();
    conn.Request(kTranSetFileInfo, req);
}

void CmdKick(CClientLink& link, const SClientOptions& opt) {
    if (opt.args.empty()) Bad("Usage: kestrix HOST kick USER [--ban temp|perm [REASON]]");
    std::int32_t option = 0;
    std::string reason;
    if (opt.args.size() > 1) {
        if (opt.args[1] != "--ban" || opt.args.size() < 3 || opt.args.size() > 4)
            Bad("Usage: kestrix HOST kick USER [--ban temp|perm [REASON]]");
        if (opt.args[2] == "temp") option = 1;
        else if (opt.args[2] == "perm") option = 2;
        else Bad("The ban is temp or perm, not " + opt.args[2]);
        if (opt.args.size() == 4) {
            if (option != 2) Bad("Only a permanent ban has a reason");
            reason = LocalToWire(opt.args[3]);
        }
    }
    CClientConnection& conn = link.Get();
    StFieldData req;
    UFieldData::AddInteger(req, kFieldUserID, FindUser(conn, opt.args[0]));
    if (option) UFieldData::AddInteger(req, kFieldOptions, option);
    UFieldData::AddString(req, kFieldData, reason);
    conn.Request(kTranDisconnectUser, req);
}

}  // namespace

std::string ReadClientInput(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > 65535) Bad("The text is too long");
    }
    return text;
}

std::vector<std::string> ClientPathNames(const std::string& path) { return PathNames(path); }

void RunNewsCommand(CClientLink& link, const SClientOptions& opt, int stdinFd, std::ostream& out);

void RunAccountCommand(CClientLink& link, const SClientOptions& opt, std::ostream& out);

void RunSimpleCommand(CClientLink& link, const SClientOptions& opt, int stdinFd, std::ostream& out) {
    const std::string& c = opt.command;
    if (c == "users") CmdUsers(link, opt, out);
    else if (c == "info") CmdInfo(link, opt, out);
    else if (c == "say") CmdSay(link, opt);
    else if (c == "msg") CmdMsg(link, opt);
    else if (c == "broadcast") CmdBroadcast(link, opt);
    else if (c == "board") CmdBoard(link, opt, out);
    else if (c == "post") CmdPost(link, opt, stdinFd);
    else if (c == "ls") CmdLs(link, opt, out);
    else if (c == "stat") CmdStat(link, opt, out);
    else if (c == "mkdir") CmdItem(link, opt, kTranNewFolder, "mkdir PATH");
    else if (c == "rm") CmdItem(link, opt, kTranDeleteFile, "rm PATH");
    else if (c == "mv") CmdMoveOrAlias(link, opt, kTranMoveFile, "mv PATH DEST");
    else if (c == "alias") CmdMoveOrAlias(link, opt, kTranMakeFileAlias, "alias PATH DEST");
    else if (c == "rename") CmdRename(link, opt);
    else if (c == "kick") CmdKick(link, opt);
    else if (c == "news") RunNewsCommand(link, opt, stdinFd, out);
    else if (c == "account") RunAccountCommand(link, opt, out);
    else Bad("Unknown command " + c);
}

}  // namespace kx
