// One run of the command-line client: the command line, the connection, the login, the command
// and the mapping of every failure onto its exit code and message.
#include "client/client_session.h"

#include <cstdio>
#include <ostream>

#include "client/client_tls.h"
#include "client/client_transfer.h"
#include "client/client_tunnel.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"

namespace kx {

namespace {
// Reported as our protocol version: recent enough for the server's banner and news list forms.
constexpr std::int32_t kClientVersion = 190;

const char* const kCommands[] = {"users", "info", "chat", "say", "msg", "broadcast", "board", "post", "ls", "stat",
                                 "mkdir", "rm", "mv", "rename", "alias", "kick", "news", "account",
                                 "get", "put", "getdir", "putdir"};
}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

void LogIn(CClientConnection& conn, const SClientOptions& opt) {
    const std::string name = LocalToWire(opt.name);
    StFieldData req;
    if (!opt.login.empty()) UFieldData::AddString(req, kFieldUserLogin, UUserData::EncodeText(opt.login));
    if (!opt.password.empty()) UFieldData::AddString(req, kFieldUserPassword, UUserData::EncodeText(opt.password));
    UFieldData::AddInteger(req, kFieldVersion, kClientVersion);
    UFieldData::AddString(req, kFieldUserName, name);
    UFieldData::AddInteger(req, kFieldIconID, opt.icon);
    SClientTran reply = conn.RequestRaw(kTranLogin, req);
    if (reply.hdr.error != 0) throw SClientFailure(kExitLoginRefused, ErrorTextOf(reply));
    // A login with a name and an icon is complete at once; otherwise the server waits for the
    // agreement to be accepted.
    if (!name.empty() && opt.icon != 0) return;
    StFieldData agreed;
    UFieldData::AddString(agreed, kFieldUserName, name);
    UFieldData::AddInteger(agreed, kFieldIconID, opt.icon);
    SClientTran ok = conn.RequestRaw(kTranAgreed, agreed);
    if (ok.hdr.error != 0) throw SClientFailure(kExitLoginRefused, ErrorTextOf(ok));
}

CClientConnection& CClientLink::Get() {
    if (!mConn) {
        auto conn = std::make_unique<CClientConnection>();
        if (mOpt.tunnel) {
            const auto port = static_cast<std::uint16_t>(mOpt.port + kClientTunnelPortOffset);
            conn->Open(OpenTunnelStream(mOpt.host, port, mOpt.proxy, conn->TimeoutMs()));
        } else if (mOpt.tls) {
            conn->Open(OpenClientTlsStream(mOpt, mOpt.port, conn->TimeoutMs()));
        } else {
            conn->Connect(mOpt.host, mOpt.port);
        }
        LogIn(*conn, mOpt);
        mConn = std::move(conn);
    }
    return *mConn;
}

int RunClient(const std::vector<std::string>& argv, const char* envPassword, int stdinFd, std::ostream& out,
              std::ostream& err) {
    try {
        const SClientOptions opt = ParseClientOptions(argv, envPassword);
        if (opt.help || opt.manual) {
            out << (opt.manual ? UUsageText::FormatManPage(ClientUsageDoc(), "Kestrix") : ClientUsage());
            return kExitOK;
        }
        bool known = false;
        for (const char* c : kCommands) known = known || opt.command == c;
        if (!known) throw SClientFailure(kExitBadArgument, "Unknown command " + opt.command);

        ResetClientTls();
        CClientLink link(opt);
        if (opt.command == "chat") RunChat(link, opt, stdinFd, out);
        else if (IsTransferCommand(opt.command)) RunTransferCommand(link, opt, out, err);
        else RunSimpleCommand(link, opt, stdinFd, out);
        out.flush();
        return kExitOK;
    } catch (const SClientFailure& f) {
        out.flush();
        err << "kestrix: " << f.what() << "\n";
        if (f.exitCode == kExitBadArgument) err << "Try kestrix --help\n";
        return f.exitCode;
    } catch (const std::exception& e) {
        out.flush();
        err << "kestrix: " << e.what() << "\n";
        return kExitServerError;
    }
}

}  // namespace kx
