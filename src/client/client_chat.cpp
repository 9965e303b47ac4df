// The interactive chat of the command-line client: waits on standard input and the connection
// at once, prints the public chat, joins, leaves, private messages and broadcasts as they
// arrive, and sends each typed line (/me TEXT, /msg USER TEXT, /quit; //TEXT says "/TEXT").
#include <cerrno>
#include <map>
#include <ostream>
#include <poll.h>
#include <set>
#include <unistd.h>

#include "client/client_session.h"
#include "protocol/transaction_types.h"

namespace kx {

namespace {

constexpr std::size_t kMaxLine = 8192;

class CChat {
public:
    CChat(CClientConnection& conn, std::ostream& out) : mConn(conn), mOut(out) {
        for (const SUserEntry& u : GetUsers(conn)) mUsers[u.id] = u.name;
    }

    void Show(const SClientTran& t) {
        TFieldDataObj f = t.Fields();
        if (t.hdr.isReply) {
            if (mPending.erase(t.hdr.id) && t.hdr.error != 0) Print("! " + ErrorTextOf(t));
            return;
        }
        switch (t.hdr.type) {
            case kTranChatText: {
                if (UFieldData::GetInteger(f, kFieldChatID) != 0) return;  // private chats are not joined
                std::string line = WireToLocal(UFieldData::GetString(f, kFieldData));
                while (!line.empty() && line.front() == '\n') line.erase(0, 1);
                Print(line);
                break;
            }
            case kTranServerMsg: {
                const std::string text = WireToLocal(UFieldData::GetString(f, kFieldData));
                if (UFieldData::HasField(f, kFieldUserID))
                    Print("[msg from " + WireToLocal(UFieldData::GetString(f, kFieldUserName)) + "] " + text);
                else
                    Print("[server] " + text);
                break;
            }
            case kTranUserBroadcast:
                Print("[broadcast from " + WireToLocal(UFieldData::GetString(f, kFieldUserName)) + "] " +
                      WireToLocal(UFieldData::GetString(f, kFieldData)));
                break;
            case kTranClientUserInfo: {
                const auto id = static_cast<std::uint16_t>(UFieldData::GetInteger(f, kFieldUserID));
                const std::string name = WireToLocal(UFieldData::GetString(f, kFieldUserName));
                const auto it = mUsers.find(id);
                if (it == mUsers.end()) Print("* " + name + " joined");
                else if (it->second != name) Print("* " + it->second + " is now " + name);
                mUsers[id] = name;
                break;
            }
            case kTranClientLeft: {
                const auto id = static_cast<std::uint16_t>(UFieldData::GetInteger(f, kFieldUserID));
                const auto it = mUsers.find(id);
                if (it != mUsers.end()) {
                    Print("* " + it->second + " left");
                    mUsers.erase(it);
                }
                break;
            }
            case kTranServerQuitting:
                Print("[server] The server is shutting down.");
                break;
            default:
                break;
        }
    }

    // False on /quit.
    bool Typed(const std::string& line) {
        if (line == "/quit") return false;
        if (line.empty()) return true;
        StFieldData req;
        if (line == "/msg" || line.rfind("/msg ", 0) == 0) {
            const std::string rest = line.size() > 5 ? line.substr(5) : std::string();
            const std::size_t space = rest.find(' ');
            if (space == std::string::npos || space == 0) {
                Print("! Usage: /msg USER TEXT");
                return true;
            }
            std::vector<SUserEntry> users;
            for (const auto& [id, name] : mUsers) users.push_back({id, 0, 0, name});
            try {
                UFieldData::AddInteger(req, kFieldUserID, FindUser(users, rest.substr(0, space)));
            } catch (const SClientFailure& f) {
                Print(std::string("! ") + f.what());
                return true;
            }
            UFieldData::AddInteger(req, kFieldOptions, 1);
            UFieldData::AddString(req, kFieldData, LocalToWire(rest.substr(space + 1)));
            mPending.insert(mConn.Send(kTranSendInstantMsg, req));
            return true;
        }
        if (line.rfind("/me ", 0) == 0) {
            UFieldData::AddString(req, kFieldData, LocalToWire(line.substr(4)));
            UFieldData::AddInteger(req, kFieldChatOptions, 1);
        } else if (line.rfind("//", 0) == 0) {
            UFieldData::AddString(req, kFieldData, LocalToWire(line.substr(1)));
        } else if (line[0] == '/') {
            Print("! Unknown command " + line.substr(0, line.find(' ')) + " (start the line with // to say it)");
            return true;
        } else {
            UFieldData::AddString(req, kFieldData, LocalToWire(line));
        }
        mConn.Send(kTranChatSend, req);
        return true;
    }

private:
    void Print(const std::string& line) {
        mOut << line;
        if (line.empty() || line.back() != '\n') mOut << "\n";
        mOut.flush();
    }

    CClientConnection& mConn;
    std::ostream& mOut;
    std::map<std::uint16_t, std::string> mUsers;
    std::set<std::uint32_t> mPending;  // instant messages whose answer is awaited
};

}  // namespace

void RunChat(CClientLink& link, const SClientOptions& opt, int stdinFd, std::ostream& out) {
    if (!opt.args.empty()) throw SClientFailure(kExitBadArgument, "Usage: kestrix HOST chat");
    CClientConnection& conn = link.Get();
    CChat chat(conn, out);
    out << "* Connected. Type /me TEXT, /msg USER TEXT or /quit.\n";
    out.flush();
    SClientTran t;
    while (conn.HasQueuedNotice() && conn.NextNotice(t, 0)) chat.Show(t);

    std::string buffer;
    bool inputOpen = true;
    for (;;) {
        // A tunnel may already hold what arrived; poll would not tell.
        const bool buffered = conn.HasBufferedInput();
        pollfd p[2] = {{conn.Fd(), POLLIN, 0}, {stdinFd, POLLIN, 0}};
        const int r = ::poll(p, inputOpen ? 2 : 1, buffered ? 0 : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw SClientFailure(kExitConnection, "Cannot wait for input.");
        }
        if (buffered || p[0].revents) {
            if (conn.ReadOne(t, 0)) chat.Show(t);
            while (conn.HasQueuedNotice() && conn.NextNotice(t, 0)) chat.Show(t);
        }
        if (!inputOpen || !p[1].revents) continue;
        char buf[4096];
        const ssize_t n = ::read(stdinFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            inputOpen = false;
            buffer += '\n';
        } else {
            buffer.append(buf, static_cast<std::size_t>(n));
        }
        std::size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!chat.Typed(line.substr(0, kMaxLine))) inputOpen = false;
        }
        if (buffer.size() > kMaxLine) buffer.clear();
        if (!inputOpen) break;
    }
    // A last round trip: everything typed has been handled by the server before we leave, and
    // what arrived meanwhile is shown.
    StFieldData ping;
    conn.Request(kTranKeepConnectionAlive, ping);
    while (conn.HasQueuedNotice() && conn.NextNotice(t, 0)) chat.Show(t);
}

}  // namespace kx
