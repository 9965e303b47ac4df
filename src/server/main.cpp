// kestrix-server: the program entry. Parses the command line, creates the application object on
// the program folder, runs its start-up and the event loop until SIGTERM or SIGINT, which quit in
// order (the options file is written); SIGHUP reloads the message board, the agreement and the
// TLS certificate. The operator console reads commands from standard input; standard input is
// never required: the server runs the same with no terminal at all, or after its input ends.
// "--set" and "--options" change or show the options files of a stopped server and exit;
// "--check" reads the program folder the way start-up does and reports its problems.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <vector>
#include <unistd.h>

#include "console/options_command.h"
#include "console/server_usage.h"
#include "framework/event_loop.h"
#include "net/transport.h"
#include "server/application.h"
#include "server/folder_check.h"

namespace {

void PrintUsage(std::FILE* out) { std::fputs(kx::UUsageText::FormatHelp(kx::ServerUsageDoc()).c_str(), out); }

// --check: one line per problem on standard output. Returns the exit status.
int CheckFolder(const std::string& dir) {
    const auto problems = kx::UFolderCheck::CheckFolder(dir);
    for (const auto& p : problems) std::printf("%s\n", kx::UFolderCheck::ProblemLine(p).c_str());
    if (problems.empty()) std::printf("%s: no problems found\n", dir.c_str());
    return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    std::vector<std::string> assignments;
    bool showOptions = false;
    bool check = false;
    bool console = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else if (std::strcmp(argv[i], "--set") == 0 && i + 1 < argc) {
            assignments.emplace_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--options") == 0) {
            showOptions = true;
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--manual") == 0) {
            std::fputs(kx::UUsageText::FormatManPage(kx::ServerUsageDoc(), "Kestrix").c_str(), stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--no-console") == 0) {
            console = false;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kestrix-server %s\n", kx::kServerVersionText);
            return 0;
        } else {
            std::fprintf(stderr, "kestrix-server: unknown argument '%s'\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }
    if (check) return CheckFolder(dir);
    if (access(dir.c_str(), R_OK | W_OK | X_OK) != 0) {
        std::fprintf(stderr, "kestrix-server: cannot use program folder '%s': %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    if (!assignments.empty() || showOptions) return kx::UOptionsCommand::Run(dir, assignments, showOptions);

    // Every client is a descriptor: take all the descriptors the system allows this process.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of a shell, reading the terminal would stop the process; it
    // then reads end of input instead and simply serves.
    std::signal(SIGTTIN, SIG_IGN);
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGTERM);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &quitSignals, nullptr);
    const int sigFd = signalfd(-1, &quitSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd < 0) {
        std::perror("kestrix-server: signalfd");
        return 1;
    }

    if (!kx::UTransport::HasTCP()) {
        std::fprintf(stderr, "kestrix-server: TCP is not available\n");
        return 1;
    }
    kx::UTransport::Init();

    try {
        kx::CMyApplication app(dir);
        kx::CEventLoop::Get().WatchFd(sigFd, kx::kFdReadable, [&app, sigFd](std::uint32_t) {
            signalfd_siginfo info;
            bool quit = false, reload = false;
            while (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP) reload = true;
                else quit = true;
            }
            if (reload && !quit) {
                try {
                    app.ReloadTexts();
                } catch (const kx::SError& err) {
                    app.Error(err);
                }
                app.ReloadTls();
            }
            if (quit) app.Quit();
        });
        if (console) app.SetConsoleFds(STDIN_FILENO, STDOUT_FILENO);
        app.StartUp();
        app.Run();
        kx::CEventLoop::Get().UnwatchFd(sigFd);
    } catch (const kx::SError& err) {
        std::fprintf(stderr, "kestrix-server: fatal error %s: %s\n", kx::UError::GetDetail(err).c_str(),
                     kx::UError::GetMessage(err).c_str());
        close(sigFd);
        return 1;
    }
    close(sigFd);
    return 0;
}
