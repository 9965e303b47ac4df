// Raising error records, and the one table that maps platform (errno) codes onto them.
#include "framework/error.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

namespace kx::UError {

namespace {

struct SErrnoRow {
    int code;
    std::int16_t type;
    std::int16_t id;
};

// Sorted by errno value at first use; searched by binary search. Socket codes live here too, so
// that network calls and file calls map through one table. ENAMETOOLONG and ELOOP are listed with
// the file-system meaning (an invalid name), which is what they report on Linux.
constexpr std::array kErrnoRows = {
    SErrnoRow{ENOENT, 4, 103},       SErrnoRow{ENOTDIR, 4, 102},       SErrnoRow{EACCES, 4, 117},
    SErrnoRow{EPERM, 4, 117},        SErrnoRow{ENOMEM, 3, 101},        SErrnoRow{ENODEV, 4, 105},
    SErrnoRow{ENXIO, 4, 105},        SErrnoRow{EXDEV, 4, 129},         SErrnoRow{EROFS, 4, 111},
    SErrnoRow{EBUSY, 4, 116},        SErrnoRow{ETXTBSY, 4, 116},       SErrnoRow{ENOTSUP, 4, 110},
    SErrnoRow{ENOSYS, 4, 110},       SErrnoRow{EEXIST, 4, 115},        SErrnoRow{ENOTEMPTY, 4, 115},
    SErrnoRow{ENOLCK, 4, 112},       SErrnoRow{ENOSPC, 4, 101},        SErrnoRow{EDQUOT, 4, 101},
    SErrnoRow{ENAMETOOLONG, 4, 119}, SErrnoRow{EILSEQ, 4, 119},        SErrnoRow{ELOOP, 4, 119},
    SErrnoRow{EIO, 4, 106},          SErrnoRow{EUCLEAN, 4, 106},       SErrnoRow{EBADF, 3, 102},
    SErrnoRow{ERANGE, 1, 11},        SErrnoRow{EOVERFLOW, 1, 11},      SErrnoRow{EADDRINUSE, 8, 112},
    SErrnoRow{EADDRNOTAVAIL, 8, 112}, SErrnoRow{ENETDOWN, 8, 106},     SErrnoRow{ENETUNREACH, 8, 106},
    SErrnoRow{ENETRESET, 8, 106},    SErrnoRow{EHOSTUNREACH, 8, 106},  SErrnoRow{ECONNABORTED, 8, 100},
    SErrnoRow{ECONNRESET, 8, 100},   SErrnoRow{ENOBUFS, 8, 100},       SErrnoRow{EISCONN, 8, 100},
    SErrnoRow{ENOTCONN, 8, 100},     SErrnoRow{ESHUTDOWN, 8, 100},     SErrnoRow{ETOOMANYREFS, 8, 100},
    SErrnoRow{EPIPE, 8, 100},        SErrnoRow{ETIMEDOUT, 8, 103},     SErrnoRow{EHOSTDOWN, 8, 103},
    SErrnoRow{ECONNREFUSED, 8, 104},
};

const std::array<SErrnoRow, kErrnoRows.size()>& SortedRows() {
    static const auto rows = [] {
        auto r = kErrnoRows;
        std::sort(r.begin(), r.end(), [](const SErrnoRow& a, const SErrnoRow& b) { return a.code < b.code; });
        return r;
    }();
    return rows;
}

}  // namespace

void Raise(std::int16_t type, std::int16_t id, const char* file, std::uint32_t line, std::int32_t special) {
    throw SError(type, id, file, line, special);
}

void MapErrno(int err, std::int16_t& outType, std::int16_t& outID) {
    const auto& rows = SortedRows();
    auto it = std::lower_bound(rows.begin(), rows.end(), err,
                               [](const SErrnoRow& r, int code) { return r.code < code; });
    if (it != rows.end() && it->code == err) {
        outType = it->type;
        outID = it->id;
    } else {
        outType = kErrClassGeneral;
        outID = kErrUnknown;
    }
}

void RaiseErrno(int err, const char* file, std::uint32_t line) {
    std::int16_t type, id;
    MapErrno(err, type, id);
    throw SError(type, id, file, line, err);
}

namespace {
DebugSink gDebugSink = nullptr;
}  // namespace

void DebugBreak(const std::string& text) {
    if (gDebugSink) gDebugSink(text);
    else std::fprintf(stderr, "DEBUG: %s\n", text.c_str());
}

void SetDebugSink(DebugSink sink) { gDebugSink = sink; }

}  // namespace kx::UError
