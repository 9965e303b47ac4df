// Folder-name safety, case folding and repair of logins.
#include "accounts/login_name.h"

namespace kx::UAccountLogin {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool IsReplacedByRepair(unsigned char c) {
    if (IsControl(c)) return true;
    switch (c) {
        case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        case 0x81: case 0x8D: case 0x8E: case 0x8F: case 0x90: case 0x9D: case 0x9E:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool IsSafeFolderName(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    if (name.front() == '.' || name.back() == '.') return false;  // also "." and ".."
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsControl(c) || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

std::string LowerCase(std::string_view login) {
    std::string out(login);
    for (char& c : out) c = Lower(c);
    return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string MakeValidLogin(std::string_view login) {
    std::string out(login.substr(0, kLoginFolderMax));
    if (!out.empty() && out.front() == '.') out.front() = '-';
    for (char& c : out)
        if (IsReplacedByRepair(static_cast<unsigned char>(c))) c = '-';
    for (auto i = out.size(); i > 0 && (out[i - 1] == ' ' || out[i - 1] == '.'); --i) out[i - 1] = '-';
    return out;
}

}  // namespace kx::UAccountLogin
