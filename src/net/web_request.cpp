// The web listener's request heads: the incremental reader with its caps, and the decisions made
// on a request (file path, Origin against Host, the client's address behind trusted proxies).
#include "net/web_request.h"

#include <algorithm>
#include <cctype>

namespace kx {

namespace {

bool IsTokenChar(unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Host and port of an authority ("name", "name:port", "[v6]:port"); the port is `defaultPort`
// when none is written. False when it is malformed.
bool SplitAuthority(std::string_view authority, std::string_view defaultPort, std::string_view& host,
                    std::string_view& port) {
    std::size_t hostEnd = authority.size();
    std::size_t colon = std::string_view::npos;
    if (!authority.empty() && authority.front() == '[') {
        hostEnd = authority.find(']');
        if (hostEnd == std::string_view::npos) return false;
        ++hostEnd;
        if (hostEnd < authority.size()) {
            if (authority[hostEnd] != ':') return false;
            colon = hostEnd;
        }
    } else {
        colon = authority.rfind(':');
        if (colon != std::string_view::npos) hostEnd = colon;
    }
    host = authority.substr(0, hostEnd);
    port = colon == std::string_view::npos ? defaultPort : authority.substr(colon + 1);
    while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
    return !host.empty() && !port.empty() && port.size() <= 5 &&
           std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

const std::string* SWebRequest::Field(std::string_view name) const {
    for (const auto& [n, v] : fields) {
        if (n == name) return &v;
    }
    return nullptr;
}

bool SWebRequest::HasToken(std::string_view name, std::string_view token) const {
    for (const auto& [n, v] : fields) {
        if (n != name) continue;
        std::string_view rest = v;
        while (!rest.empty()) {
            const std::size_t comma = std::min(rest.find(','), rest.size());
            if (EqualNoCase(Trim(rest.substr(0, comma)), token)) return true;
            rest.remove_prefix(std::min(comma + 1, rest.size()));
        }
    }
    return false;
}

std::size_t CWebRequestReader::Feed(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size && mState == EState::kMore) {
        const char c = static_cast<char>(data[at++]);
        if (++mHeadSize > kMaxHead) {
            mState = EState::kTooLarge;
            break;
        }
        if (c == '\n') {
            std::string_view line = mLine;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            Line(line);
            mLine.clear();
        } else if (mLine.size() > kMaxLine) {  // one more for a carriage return
            mState = EState::kTooLarge;
        } else {
            mLine.push_back(c);
        }
    }
    return at;
}

void CWebRequestReader::Line(std::string_view line) {
    if (!mHaveRequestLine) {
        if (line.empty()) return;  // blank lines before a request are tolerated
        const std::size_t sp1 = line.find(' ');
        const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
        if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
            mState = EState::kBad;
            return;
        }
        mRequest.method = line.substr(0, sp1);
        mRequest.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        mRequest.version = line.substr(sp2 + 1);
        const bool targetOk = !mRequest.target.empty() &&
                              std::none_of(mRequest.target.begin(), mRequest.target.end(),
                                           [](char ch) { return IsControl(static_cast<unsigned char>(ch)) || ch == '\t'; });
        if (!IsToken(mRequest.method) || !targetOk || (mRequest.version != "HTTP/1.1" && mRequest.version != "HTTP/1.0")) {
            mState = EState::kBad;
            return;
        }
        mHaveRequestLine = true;
        return;
    }
    if (line.empty()) {
        mState = EState::kDone;
        return;
    }
    const std::size_t colon = line.find(':');
    // A folded line (leading white space) or a name with white space before the colon is how
    // requests are smuggled past proxies: refused.
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
        mState = EState::kBad;
        return;
    }
    const std::string_view value = Trim(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), [](char ch) { return IsControl(static_cast<unsigned char>(ch)); })) {
        mState = EState::kBad;
        return;
    }
    if (mRequest.fields.size() >= kMaxFields) {
        mState = EState::kTooLarge;
        return;
    }
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
    mRequest.fields.emplace_back(std::move(name), std::string(value));
}

std::optional<std::string> UWebRequest::FilePath(std::string_view target) {
    target = target.substr(0, std::min(target.find('?'), target.find('#')));
    if (target.empty() || target.front() != '/') return std::nullopt;
    std::string decoded;
    for (std::size_t i = 0; i < target.size(); ++i) {
        char c = target[i];
        if (c == '%') {
            const int hi = i + 2 < target.size() ? HexValue(target[i + 1]) : -1;
            const int lo = hi >= 0 ? HexValue(target[i + 2]) : -1;
            if (lo < 0) return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (IsControl(static_cast<unsigned char>(c)) || c == '\t' || c == '\\') return std::nullopt;
        decoded.push_back(c);
    }
    if (decoded.back() == '/') decoded += "index.html";
    const std::string_view rest = std::string_view(decoded).substr(1);
    for (std::size_t start = 0;;) {
        const std::size_t slash = rest.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? rest.size() : slash;
        // Empty segments, "." and "..", and hidden names (".git", ".env") are never served.
        if (end == start || rest[start] == '.') return std::nullopt;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return std::string(rest);
}

bool UWebRequest::OriginMatchesHost(std::string_view origin, std::string_view host) {
    std::string_view defaultPort;
    if (origin.size() > 7 && EqualNoCase(origin.substr(0, 7), "http://")) {
        defaultPort = "80";
        origin.remove_prefix(7);
    } else if (origin.size() > 8 && EqualNoCase(origin.substr(0, 8), "https://")) {
        defaultPort = "443";
        origin.remove_prefix(8);
    } else {
        return false;  // "null" (a sandboxed or local page) and every other scheme
    }
    std::string_view originHost, originPort, hostName, hostPort;
    if (origin.find('/') != std::string_view::npos || !SplitAuthority(origin, defaultPort, originHost, originPort) ||
        !SplitAuthority(host, defaultPort, hostName, hostPort))
        return false;
    return EqualNoCase(originHost, hostName) && originPort == hostPort;
}

std::optional<std::uint32_t> UWebRequest::ParseIPv4(std::string_view text) {
    if (text.size() > 7 && EqualNoCase(text.substr(0, 7), "::ffff:")) text.remove_prefix(7);
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t digits = 0;
        std::uint32_t value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 3)
            value = value * 10 + static_cast<std::uint32_t>(text[digits++] - '0');
        if (digits == 0 || value > 255) return std::nullopt;
        text.remove_prefix(digits);
        address = (address << 8) | value;
        if (part < 3) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
    }
    if (!text.empty()) return std::nullopt;
    return address;
}

std::uint32_t UWebRequest::ClientAddress(std::uint32_t peer, const SWebRequest& request,
                                         const std::vector<SAddressRange>& trusted) {
    auto isTrusted = [&](std::uint32_t a) {
        return std::any_of(trusted.begin(), trusted.end(), [a](const SAddressRange& r) { return r.Contains(a); });
    };
    if (!isTrusted(peer)) return peer;
    std::uint32_t client = peer;
    for (auto field = request.fields.rbegin(); field != request.fields.rend(); ++field) {
        if (field->first != "x-forwarded-for") continue;
        std::string_view list = field->second;
        while (!list.empty()) {
            const std::size_t comma = list.rfind(',');
            const std::string_view item = Trim(comma == std::string_view::npos ? list : list.substr(comma + 1));
            list = comma == std::string_view::npos ? std::string_view() : list.substr(0, comma);
            const std::optional<std::uint32_t> hop = ParseIPv4(item);
            if (!hop) return client;
            client = *hop;
            if (!isTrusted(client)) return client;
        }
    }
    return client;
}

}  // namespace kx
