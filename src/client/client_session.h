// One run of the command-line client: connects, logs in and carries out one command, writing
// its results to `out` and failures to `err`. Returns the process exit code.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "client/client_connection.h"
#include "client/client_options.h"

namespace kx {

int RunClient(const std::vector<std::string>& argv, const char* envPassword, int stdinFd, std::ostream& out,
              std::ostream& err);

// Connects and logs in as the options say (kTranLogin, then kTranAgreed when the login did not
// complete itself). Throws SClientFailure(kExitLoginRefused) with the server's text when refused.
void LogIn(CClientConnection& conn, const SClientOptions& opt);

// The connection of one run, opened (and logged in) on first use, so that a command checks its
// arguments before anything goes to the network.
class CClientLink {
public:
    explicit CClientLink(const SClientOptions& opt) : mOpt(opt) {}
    CClientConnection& Get();

private:
    const SClientOptions& mOpt;
    std::unique_ptr<CClientConnection> mConn;
};

// The commands; each throws SClientFailure on failure.
void RunSimpleCommand(CClientLink& link, const SClientOptions& opt, int stdinFd, std::ostream& out);
void RunChat(CClientLink& link, const SClientOptions& opt, int stdinFd, std::ostream& out);

struct SUserEntry {
    std::uint16_t id = 0, icon = 0, flags = 0;
    std::string name;  // UTF-8
};
// The user list (kTranGetUserNameList).
std::vector<SUserEntry> GetUsers(CClientConnection& conn);
// A user named by nickname (exact) or "#ID". Throws SClientFailure when there is none.
std::uint16_t FindUser(const std::vector<SUserEntry>& users, const std::string& who);

// The Mac OS Roman names of a client path ("a/b/c"; empty parts skipped). Names that cannot be
// given to the server are a bad argument.
std::vector<std::string> ClientPathNames(const std::string& path);

// All of a text given on standard input ("-"), at most 65535 bytes (more is a bad argument).
std::string ReadClientInput(int fd);

// JSON string literal of a UTF-8 text.
std::string JsonString(std::string_view text);

}  // namespace kx
