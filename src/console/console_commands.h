// The operator's commands, one text line each, carried out on the running application and
// answered with text. Separate from where the lines come from (console_io.h), so tests drive
// it directly. Every command is listed by `help` and in docs/console.md.
#pragma once

#include <string>
#include <string_view>

namespace kx {

class CMyApplication;

class CMyConsoleCommands {
public:
    explicit CMyConsoleCommands(CMyApplication& app) : mApp(app) {}

    // Carries out one line and returns the answer (lines ending in "\n"; empty for a blank line).
    // Bad input gets a message and changes nothing; nothing here throws.
    std::string Execute(std::string_view line);

private:
    std::string Help() const;
    std::string Stats() const;
    std::string Broadcast(std::string_view text);
    std::string Reload();
    std::string QuitCommand(std::string_view farewell);
    std::string Cancel();
    std::string ShowOptions() const;
    std::string SetOption(std::string_view args);
    std::string Bans(std::string_view args);
    std::string Admin(std::string_view args);

    CMyApplication& mApp;
};

}  // namespace kx
