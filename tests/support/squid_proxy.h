// A real HTTP forward proxy for the tunnel tests: Debian's squid, started by the test as its own
// child in the foreground (-N) on a free loopback port, from a minimal configuration written into
// a temporary folder that also holds its pid file, logs and (memory-only) cache. The system's
// squid service is neither needed nor touched. Tests skip when the binary is absent (`make deps`
// installs it).
#pragma once

#include <string>
#include <sys/types.h>

#include "support/server_process.h"

namespace kx::test {

class SquidProxy {
public:
    // The squid binary, or "" when it is not installed.
    static std::string Binary();

    SquidProxy() = default;
    // Kills squid and waits for it.
    ~SquidProxy();
    SquidProxy(const SquidProxy&) = delete;
    SquidProxy& operator=(const SquidProxy&) = delete;

    // Writes the configuration, starts squid and waits until its port accepts connections
    // (start-up takes a while). False when it exited or never listened; Log() tells why.
    bool Start(int timeoutMs = 30000);

    unsigned short Port() const { return mPort; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(mPort); }
    // squid's cache log and standard error, for failure messages.
    std::string Log() const;

private:
    TempDir mDir;
    unsigned short mPort = 0;
    pid_t mPid = -1;
};

}  // namespace kx::test
