// Parsing of the client's command line.
#include "client/client_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "client/client_connection.h"
#include "framework/file_util.h"
#include "net/tls_context.h"
#include "framework/usage_text.h"

namespace kx {

namespace {
[[noreturn]] void Bad(const std::string& why) { throw SClientFailure(kExitBadArgument, why); }

long ParseNumber(const std::string& text, long lo, long hi, const std::string& what) {
    long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
        Bad("Invalid " + what + ": " + text);
    return v;
}

// A byte rate: digits, optionally followed by K or M (1024 and 1048576).
std::uint64_t ParseRate(const std::string& text) {
    std::string digits = text;
    std::uint64_t unit = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) unit = 1024;
    else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) unit = 1048576;
    if (unit != 1) digits.pop_back();
    return static_cast<std::uint64_t>(ParseNumber(digits, 1, 1L << 40, "rate")) * unit;
}

std::string Lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// True when the no_proxy list (names separated by commas or spaces; "*" for every host; a
// name also covers the hosts below it) names `host`.
bool ExcludedFromProxy(const std::string& host, const char* noProxy) {
    if (noProxy == nullptr) return false;
    std::string list(noProxy);
    std::replace(list.begin(), list.end(), ',', ' ');
    const std::string name = Lowercase(host);
    std::istringstream words(list);
    for (std::string word; words >> word;) {
        word = Lowercase(word);
        if (word == "*") return true;
        if (word.front() == '.') word.erase(0, 1);
        if (!word.empty() && (name == word || name.ends_with("." + word))) return true;
    }
    return false;
}

SClientProxy ProxyFromEnvironment(const std::string& host) {
    for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        const char* noProxy = std::getenv("no_proxy");
        if (noProxy == nullptr || *noProxy == '\0') noProxy = std::getenv("NO_PROXY");
        if (ExcludedFromProxy(host, noProxy)) return {};
        return ParseProxyAddress(value, name);
    }
    return {};
}

std::string ReadPasswordFile(const std::string& path) {
    std::optional<std::vector<std::uint8_t>> bytes;
    try {
        bytes = UFileUtil::ReadWholeFile(path, 4096);
    } catch (const std::exception&) {
    }
    if (!bytes) Bad("Cannot read the password file " + path);
    std::string text(bytes->begin(), bytes->end());
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}
}  // namespace

SUsageDoc ClientUsageDoc() {
    SUsageDoc d;
    d.program = "kestrix";
    d.summary = "command-line client of the Kestrix server";
    d.synopsis = {"[options] HOST[:PORT] COMMAND [ARGS]"};
    d.description = {
        "Connects to the Kestrix server at HOST (port 5500 unless given), logs in, carries out one "
        "COMMAND and exits; \"chat\" stays until /quit."};
    d.sections.push_back({"Options", {}, {
        {"--login LOGIN", "account login (default: guest)"},
        {"--password-file FILE", "read the password from FILE (first line); otherwise the environment variable "
                                 "KESTRIX_PASSWORD is used"},
        {"--name NAME", "nickname shown to others (default: kestrix)"},
        {"--icon N", "icon number (default: 1)"},
        {"--json", "machine-readable output"},
        {"--limit-rate BYTES", "transfers: at most BYTES per second (suffix K or M)"},
        {"--tunnel", "connect through the server's HTTP tunnel (port + 2, file transfers port + 3), for "
                     "networks that pass only HTTP through a proxy"},
        {"--proxy HOST[:PORT]", "send the tunnel's requests through this HTTP proxy (implies --tunnel; port 80 "
                                "when none is given); without it a tunnel uses http_proxy or HTTP_PROXY from the "
                                "environment, unless no_proxy names the server"},
        {"--tls", "encrypted connection (TLS) to the server's TLS port (PORT, default 5504; file transfers "
                  "PORT + 1). The certificate is checked against the system's authorities and the host name; a "
                  "self-signed one is trusted as ssh does: on first contact its fingerprint is shown and, once "
                  "accepted, remembered in $XDG_CONFIG_HOME/kestrix/known_servers (~/.config/kestrix/known_servers); "
                  "a changed one is refused"},
        {"--trust-new", "with --tls: accept and remember a server met for the first time without asking"},
        {"--fingerprint SHA256:HEX", "with --tls: accept only the certificate with this SHA-256 fingerprint (as "
                                     "the server logs it)"},
        {"--help", "this text"},
        {"--manual", "this text as a manual page (troff) for man(1)"},
    }});
    d.sections.push_back({"Commands", {}, {
        {"users", "list the users online"},
        {"info USER", "information about a user (USER: nickname or #ID)"},
        {"chat", "interactive chat; /me TEXT, /msg USER TEXT, /quit, //TEXT"},
        {"say TEXT", "one line to the public chat"},
        {"msg USER TEXT", "private message"},
        {"broadcast TEXT", "message to every user"},
        {"board", "read the message board"},
        {"post TEXT|-", "post to the message board (- reads standard input)"},
        {"ls [PATH]", "list a folder"},
        {"stat PATH", "information about a file or folder"},
        {"mkdir PATH", "create a folder"},
        {"rm PATH", "delete a file or folder"},
        {"mv PATH DEST", "move into the folder DEST"},
        {"rename PATH NAME", "rename"},
        {"alias PATH DEST", "make an alias inside the folder DEST"},
        {"kick USER [--ban temp|perm [REASON]]", "disconnect a user, optionally banning the address"},
        {"get PATH [DEST]", "download a file (DEST: a file name or a folder)"},
        {"put FILE [PATH]", "upload a file into the folder PATH"},
        {"getdir PATH [DEST]", "download a folder into the folder DEST"},
        {"putdir FOLDER [PATH]", "upload a folder into the folder PATH; an interrupted transfer resumes when "
                                 "the command is run again (downloads keep their partial data in NAME.kpf)"},
        {"news ls [PATH]", "list a bundle's bundles and categories, or a category's articles (threads, "
                           "replies indented, with poster and date)"},
        {"news read PATH ID", "read an article"},
        {"news post PATH TITLE TEXT|- [--reply-to ID]", "post an article, or a reply"},
        {"news rm PATH ID", "delete an article (and its replies); PATH: a category in the news tree, e.g. "
                            "Bundle/General.knz"},
        {"account ls", "list the accounts"},
        {"account show LOGIN", "show an account"},
        {"account add LOGIN [--name NAME] [--new-password-file FILE] [--access BITS]", "create an account"},
        {"account set LOGIN [--name NAME] [--new-password-file FILE] [--access BITS]",
         "change an account; BITS: 16 hexadecimal digits, the account's privilege set"},
        {"account rm LOGIN", "delete an account"},
        {"account rename OLD NEW", "change an account's login (name, password and access kept)"},
    }});
    d.sections.push_back({"Exit codes", {}, {
        {"0", "success"},
        {"1", "the server answered with an error (its text is printed), or another failure"},
        {"2", "bad argument"},
        {"3", "cannot connect, or the connection was lost"},
        {"4", "the server refused the login"},
        {"5", "the server's certificate was refused (changed, not the pinned one, or new and not accepted)"},
    }});
    d.sections.push_back({"Environment", {}, {
        {"KESTRIX_PASSWORD", "the password, unless --password-file is given"},
        {"http_proxy, HTTP_PROXY, no_proxy", "the proxy of --tunnel when --proxy is not given, and the hosts "
                                             "reached without it"},
    }});
    return d;
}

std::string ClientUsage() { return UUsageText::FormatHelp(ClientUsageDoc()); }

SClientOptions ParseClientOptions(const std::vector<std::string>& argv, const char* env) {
    SClientOptions o;
    std::string passwordFile;
    std::size_t i = 0;
    auto value = [&](const std::string& opt) -> std::string {
        if (i + 1 >= argv.size()) Bad("Option " + opt + " needs a value");
        return argv[++i];
    };
    // One option (before or after the host); its value, if any, is taken from the next word.
    auto option = [&](const std::string& a) {
        if (a == "--login") o.login = value(a);
        else if (a == "--password-file") passwordFile = value(a);
        else if (a == "--name") o.name = value(a);
        else if (a == "--icon") o.icon = static_cast<std::int16_t>(ParseNumber(value(a), 1, 32767, "icon"));
        else if (a == "--json") o.json = true;
        else if (a == "--limit-rate") o.limitRate = ParseRate(value(a));
        else if (a == "--tunnel") o.tunnel = true;
        else if (a == "--proxy") o.proxy = ParseProxyAddress(value(a), a);
        else if (a == "--tls") o.tls = true;
        else if (a == "--trust-new") o.trustNew = true;
        else if (a == "--fingerprint") {
            const std::string text = value(a);
            o.fingerprint = UTlsCertificate::NormalizeFingerprint(text);
            if (o.fingerprint.empty()) Bad("Invalid fingerprint " + text + ": SHA256: and 32 hexadecimal bytes");
        }
        else if (a == "--password") Bad("Give the password with --password-file or KESTRIX_PASSWORD, not on the command line");
        else Bad("Unknown option " + a);
    };
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--help" || a == "-h" || a == "--manual") {
            (a == "--manual" ? o.manual : o.help) = true;
            return o;
        }
        if (a.rfind("--", 0) != 0 || !o.host.empty()) break;
        option(a);
    }
    if (i >= argv.size()) Bad("Missing HOST");
    std::string host = argv[i++];
    const auto colon = host.rfind(':');
    bool portGiven = false;
    if (colon != std::string::npos && host.find(':') == colon) {
        o.port = static_cast<std::uint16_t>(ParseNumber(host.substr(colon + 1), 1, 65532, "port"));
        host.resize(colon);
        portGiven = true;
    }
    if (host.empty()) Bad("Missing HOST");
    o.host = host;
    // Options may also follow the host, before the command.
    for (; i < argv.size() && argv[i].rfind("--", 0) == 0; ++i) option(argv[i]);
    if (o.tls && o.tunnel) Bad("--tls and --tunnel cannot be combined");
    if ((o.trustNew || !o.fingerprint.empty()) && !o.tls) Bad("--trust-new and --fingerprint go with --tls");
    if (o.tls && !portGiven) o.port = kClientDefaultPort + kClientTlsPortOffset;
    if (i >= argv.size()) Bad("Missing COMMAND");
    o.command = argv[i++];
    o.args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    if (!o.proxy.host.empty()) o.tunnel = true;
    else if (o.tunnel) o.proxy = ProxyFromEnvironment(o.host);
    if (!passwordFile.empty()) o.password = ReadPasswordFile(passwordFile);
    else if (env) o.password = env;
    if (o.password.size() > 31) Bad("The password is longer than 31 bytes");
    return o;
}

SClientProxy ParseProxyAddress(const std::string& text, const std::string& from) {
    std::string rest = text;
    if (Lowercase(rest.substr(0, 7)) == "http://") {
        rest.erase(0, 7);
    } else if (rest.find("://") != std::string::npos) {
        Bad("Only http:// proxies can carry the tunnel (" + from + "): " + text);
    }
    rest = rest.substr(0, rest.find('/'));
    if (rest.find('@') != std::string::npos) Bad("Proxy credentials are not supported (" + from + ")");
    SClientProxy proxy;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) Bad("Invalid proxy address (" + from + "): " + text);
        proxy.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') Bad("Invalid proxy address (" + from + "): " + text);
            port = rest.substr(close + 2);
        }
    } else {
        const auto colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos)
            Bad("Invalid proxy address (" + from + "), write an IPv6 address in brackets: " + text);
        proxy.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (proxy.host.empty()) Bad("Invalid proxy address (" + from + "): " + text);
    proxy.port = port.empty() ? 80 : static_cast<std::uint16_t>(ParseNumber(port, 1, 65535, "proxy port"));
    return proxy;
}

}  // namespace kx
