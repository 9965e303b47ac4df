// The error-text catalogue: the message shown for an error record's class and code, and the
// detail line ("ID 4/103 [2] @ file.cpp #57") that tells a reader where it came from. Handlers put
// both into the error replies they send, and the error log records them.
#include "framework/error.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "framework/text_format.h"

namespace kx::UError {

namespace {

struct SMessageRow {
    std::int16_t type;
    std::int16_t id;
    const char* text;
};

// Sorted by (type, id).
constexpr std::array kMessages = {
    SMessageRow{1, 2, "Invalid argument or state."},
    SMessageRow{1, 7, "The data is not in the expected format."},
    SMessageRow{1, 8, "The data has an unsupported version."},
    SMessageRow{1, 9, "The data is damaged."},
    SMessageRow{1, 10, "Size limit exceeded."},
    SMessageRow{1, 11, "Data or value out of range."},
    SMessageRow{1, 12, "A required entry is missing."},
    SMessageRow{3, 101, "Not enough memory.  Try closing windows."},
    SMessageRow{3, 102, "Invalid handle."},
    SMessageRow{4, 101, "The disk is full."},
    SMessageRow{4, 102, "Item not found."},
    SMessageRow{4, 103, "File not found."},
    SMessageRow{4, 104, "Folder not found."},
    SMessageRow{4, 105, "Invalid drive or device."},
    SMessageRow{4, 106, "The disk is damaged or cannot be read."},
    SMessageRow{4, 107, "The item is not a file."},
    SMessageRow{4, 108, "The item is not a folder."},
    SMessageRow{4, 109, "The original item of the alias cannot be found."},
    SMessageRow{4, 110, "Operation not supported."},
    SMessageRow{4, 111, "The disk is write-protected."},
    SMessageRow{4, 112, "The item is locked."},
    SMessageRow{4, 115, "An item with that name already exists."},
    SMessageRow{4, 116, "The item is in use."},
    SMessageRow{4, 117, "Access denied."},
    SMessageRow{4, 118, "The name is too long."},
    SMessageRow{4, 119, "Invalid name."},
    SMessageRow{4, 121, "A folder cannot be moved into itself or into a folder inside it."},
    SMessageRow{4, 129, "The items are not on the same volume."},
    SMessageRow{8, 100, "The connection was lost."},
    SMessageRow{8, 101, "Bad address or host not found."},
    SMessageRow{8, 103, "The connection timed out."},
    SMessageRow{8, 104, "The connection was refused."},
    SMessageRow{8, 106, "The network or host is unreachable."},
    SMessageRow{8, 107, "Bad protocol."},
    SMessageRow{8, 109, "TCP/IP is not available."},
    SMessageRow{8, 111, "Invalid tunnel state."},
    SMessageRow{8, 112, "The address is already in use."},
};

constexpr bool RowLess(const SMessageRow& a, std::int16_t type, std::int16_t id) {
    return a.type < type || (a.type == type && a.id < id);
}

static_assert(std::is_sorted(kMessages.begin(), kMessages.end(),
                             [](const SMessageRow& a, const SMessageRow& b) { return RowLess(a, b.type, b.id); }));

// The exact wording (misspelling included) users of earlier versions know.
constexpr const char* kUnknownText = "An unknown error has occured.";

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

std::string GetMessage(const SError& err) {
    const auto it = std::lower_bound(kMessages.begin(), kMessages.end(), err,
                                     [](const SMessageRow& r, const SError& e) { return RowLess(r, e.type, e.id); });
    if (it != kMessages.end() && it->type == err.type && it->id == err.id) return it->text;
    // Codes of the file-system and network ranges without wording of their own.
    if (err.type == kErrClassFileSys && err.id >= 101 && err.id <= 129) return "A file system error has occurred.";
    if (err.type == kErrClassNetwork && err.id >= 100 && err.id <= 112) return "A network error has occurred.";
    return kUnknownText;
}

std::string GetDetail(const SError& err) {
    std::string detail = UText::FormatString("ID %hi/%hi", err.type, err.id);
    if (err.special != 0) detail += UText::FormatString(" [%li]", err.special);
    if (err.file && *err.file) detail += UText::FormatString(" @ %s #%lu", BaseName(err.file), err.line);
    return detail;
}

}  // namespace kx::UError
