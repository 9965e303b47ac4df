// The text of kestrix-server --help and of its manual page.
#include "console/server_usage.h"

#include "console/option_settings.h"
#include "server/extended_options.h"

namespace kx {

SUsageDoc ServerUsageDoc() {
    SUsageDoc d;
    d.program = "kestrix-server";
    d.summary = "server for on-line communities: chat, messages, news and files";
    d.synopsis = {
        "[--dir DIR] [--no-console]",
        "[--dir DIR] --set NAME=VALUE [--set NAME=VALUE ...]",
        "[--dir DIR] --options",
        "[--dir DIR] --check",
    };
    d.description = {
        "Serves the Kestrix protocol from the program folder DIR (default: the current directory), which "
        "holds \"pref\", \"Banned\", the folders \"Users\", \"Files\" and \"News\", the message board, the "
        "agreement and the log files.",
        "While it runs, the server reads console commands from standard input, one per line (\"help\" "
        "lists them): stats, broadcast, reload, quit, cancel, options, set, bans, ban, admin. Without a "
        "terminal it simply serves.",
        "Monitoring scrapes the counters at http://127.0.0.1:PORT/metrics, PORT being the base port + 6. "
        "Browsers find the web client at http://HOST:PORT/, PORT being the base port + 7.",
    };
    d.sections.push_back({"Options", {}, {
        {"--dir DIR", "use DIR as the program folder"},
        {"--no-console", "do not read commands from standard input"},
        {"--set NAME=VALUE", "change an option in \"pref\" or \"kestrix.conf\" and exit (repeatable; run it "
                             "while the server is stopped, which writes \"pref\" on quit)"},
        {"--options", "print the options of both files and exit"},
        {"--check", "read every file the server reads at start-up (both options files, \"Banned\", the "
                    "accounts, the news categories, the TLS certificate) without serving or changing anything; print one line per problem "
                    "and exit with 0 only when there is none"},
        {"--help", "show this text and exit"},
        {"--manual", "show this text as a manual page (troff) and exit"},
        {"--version", "show the version and exit"},
    }});
    d.sections.push_back({"Signals", {}, {
        {"SIGTERM, SIGINT", "quit in order (the options file is written)"},
        {"SIGHUP", "reload the message board, the agreement, the web client's files and the TLS certificate"},
    }});
    d.sections.push_back({"Environment", {}, {
        {"KESTRIX_ADMIN_PASSWORD", "the password given to the head administrator account at start-up when it "
                                   "is missing or has none and no terminal is there to ask"},
    }});
    SUsageSection settings{"Options for --set (as \"options\" names them)", {}, {}};
    for (const auto& [name, what] : UOptionSettings::Describe()) settings.items.push_back({name, what});
    d.sections.push_back(std::move(settings));
    SUsageSection extended{"Extended options, kept in \"kestrix.conf\" (VALUE \"default\" restores the default)", {}, {}};
    for (const auto& [name, what] : CMyExtendedOptions::Describe()) extended.items.push_back({name, what});
    d.sections.push_back(std::move(extended));
    return d;
}

}  // namespace kx
