// Error records as people read them: catalogue messages, the detail line, and the table that maps
// platform (errno) codes onto error classes and codes.
#include "framework/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kx {
namespace {

TEST(ErrorText, Messages) {
    const struct {
        std::int16_t type, id;
        const char* text;
    } rows[] = {
        {1, 2, "Invalid argument or state."},
        {1, 10, "Size limit exceeded."},
        {1, 9, "The data is damaged."},
        {3, 101, "Not enough memory.  Try closing windows."},
        {4, 101, "The disk is full."},
        {4, 103, "File not found."},
        {4, 104, "Folder not found."},
        {4, 115, "An item with that name already exists."},
        {4, 117, "Access denied."},
        {4, 129, "The items are not on the same volume."},
        {4, 120, "A file system error has occurred."},
        {8, 100, "The connection was lost."},
        {8, 112, "The address is already in use."},
        {8, 102, "A network error has occurred."},
    };
    for (const auto& r : rows) EXPECT_EQ(UError::GetMessage(SError(r.type, r.id)), r.text) << r.type << "/" << r.id;

    for (const SError& unknown : {SError(1, 1), SError(1, 13), SError(3, 100), SError(4, 100), SError(4, 130),
                                  SError(8, 99), SError(8, 113), SError(2, 101), SError(0, 0), SError(-1, -1)})
        EXPECT_EQ(UError::GetMessage(unknown), "An unknown error has occured.") << unknown.type << "/" << unknown.id;
}

TEST(ErrorText, Detail) {
    EXPECT_EQ(UError::GetDetail(SError(4, 103)), "ID 4/103");
    EXPECT_EQ(UError::GetDetail(SError(8, 104, nullptr, 0, -111)), "ID 8/104 [-111]");
    EXPECT_EQ(UError::GetDetail(SError(4, 103, "/src/framework/file_util.cpp", 57)),
              "ID 4/103 @ file_util.cpp #57");
    EXPECT_EQ(UError::GetDetail(SError(1, 2, "field_data.cpp", 4000000000u, 2)),
              "ID 1/2 [2] @ field_data.cpp #4000000000");
    EXPECT_EQ(UError::GetDetail(SError(-3, 0, "", 9)), "ID -3/0");
}

TEST(ErrorText, ErrnoTable) {
    const struct {
        int code;
        std::int16_t type, id;
    } rows[] = {
        {EPERM, 4, 117},        {ENOENT, 4, 103},  {ENOTDIR, 4, 102},      {ENOMEM, 3, 101},
        {EXDEV, 4, 129},        {EEXIST, 4, 115},  {ENOSPC, 4, 101},       {EROFS, 4, 111},
        {ENAMETOOLONG, 4, 119}, {ERANGE, 1, 11},   {EADDRINUSE, 8, 112},   {ECONNRESET, 8, 100},
        {ETIMEDOUT, 8, 103},    {ECONNREFUSED, 8, 104}, {EHOSTUNREACH, 8, 106}, {EDQUOT, 4, 101},
    };
    for (const auto& r : rows) {
        std::int16_t type = 0, id = 0;
        UError::MapErrno(r.code, type, id);
        EXPECT_EQ(type, r.type) << "errno " << r.code;
        EXPECT_EQ(id, r.id) << "errno " << r.code;
    }
    for (int unknown : {0, EINTR, EAGAIN, -5, 99999}) {
        std::int16_t type = 0, id = 0;
        UError::MapErrno(unknown, type, id);
        EXPECT_EQ(type, 1) << "errno " << unknown;
        EXPECT_EQ(id, 1) << "errno " << unknown;
    }

    try {
        KX_FAIL_ERRNO(ENOENT);
    } catch (const SError& e) {
        EXPECT_EQ(e.type, 4);
        EXPECT_EQ(e.id, 103);
        EXPECT_EQ(e.special, ENOENT);
        EXPECT_EQ(UError::GetDetail(e).rfind("ID 4/103 [2] @ error_text_test.cpp #", 0), 0u) << UError::GetDetail(e);
        return;
    }
    ADD_FAILURE() << "KX_FAIL_ERRNO raised nothing";
}

}  // namespace
}  // namespace kx
