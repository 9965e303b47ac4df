// Field lists: exact wire bytes of appends, integer and text encodings, lookups over sorted and
// duplicate ids, and the rules for truncated, over-counted and otherwise malformed received lists.
#include "protocol/field_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "framework/error.h"
#include "support/error_checks.h"

namespace kx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ErrorOf;

Bytes WireOf(TFieldDataObj obj) { return UFieldData::GetDataHandle(obj); }

// An object that adopts a copy of received bytes (header size 0).
TFieldDataObj Received(const Bytes& bytes) { return UFieldData::New(std::make_unique<THdl>(bytes), 0); }

TEST(FieldData, EmptyListIsTwoZeroBytesAfterTheHeader) {
    StFieldData plain;
    EXPECT_EQ(UFieldData::GetFieldCount(plain), 0);
    EXPECT_EQ(WireOf(plain), (Bytes{0, 0}));

    StFieldData withHeader(UFieldData::New(nullptr, 4));
    EXPECT_EQ(WireOf(withHeader), (Bytes{0, 0, 0, 0, 0, 0}));
    UFieldData::AddInteger(withHeader, 0x0101, 7);
    EXPECT_EQ(WireOf(withHeader), (Bytes{0, 0, 0, 0, 0, 1, 0x01, 0x01, 0, 2, 0, 7}));
    EXPECT_EQ(UFieldData::GetListBytes(withHeader), (Bytes{0, 1, 0x01, 0x01, 0, 2, 0, 7}));
    EXPECT_EQ(UFieldData::GetInteger(withHeader, 0x0101), 7);

    // A handle shorter than its header holds no list.
    StFieldData shortHandle(UFieldData::New(std::make_unique<THdl>(Bytes{0, 1, 0}), 4));
    EXPECT_EQ(UFieldData::GetFieldCount(shortHandle), 0);
    EXPECT_EQ(UFieldData::GetListBytes(shortHandle), (Bytes{0, 0}));
}

TEST(FieldData, IntegerWidthsOnTheWire) {
    StFieldData fd;
    UFieldData::AddInteger(fd, 1, 65535);
    UFieldData::AddInteger(fd, 2, 65536);
    UFieldData::AddInteger(fd, 3, -1);
    UFieldData::AddInteger(fd, 4, 0);
    EXPECT_EQ(WireOf(fd), (Bytes{0, 4,
                                 0, 1, 0, 2, 0xFF, 0xFF,
                                 0, 2, 0, 4, 0x00, 0x01, 0x00, 0x00,
                                 0, 3, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0, 4, 0, 2, 0x00, 0x00}));
    EXPECT_EQ(UFieldData::GetInteger(fd, 1), 65535);
    EXPECT_EQ(UFieldData::GetInteger(fd, 2), 65536);
    EXPECT_EQ(UFieldData::GetInteger(fd, 3), -1);
    EXPECT_EQ(UFieldData::GetInteger(fd, 4), 0);
    EXPECT_EQ(UFieldData::GetIntegerByIndex(fd, 3), -1);
}

TEST(FieldData, IntegerReadsByFieldSize) {
    StFieldData fd;
    const std::uint8_t one[] = {0xFE};
    const std::uint8_t two[] = {0xFF, 0xFF};
    const std::uint8_t three[] = {0x12, 0x34, 0x56};
    const std::uint8_t eight[] = {0xFF, 0xFF, 0xFF, 0xFE, 0x11, 0x22, 0x33, 0x44};
    UFieldData::AddField(fd, 10, one, sizeof one);
    UFieldData::AddField(fd, 11, two, sizeof two);
    UFieldData::AddField(fd, 12, three, sizeof three);
    UFieldData::AddField(fd, 13, eight, sizeof eight);
    EXPECT_EQ(UFieldData::GetInteger(fd, 10), 254);
    EXPECT_EQ(UFieldData::GetInteger(fd, 11), 65535);  // zero-extended, not -1
    EXPECT_EQ(UFieldData::GetInteger(fd, 12), 0);
    EXPECT_EQ(UFieldData::GetInteger(fd, 13), -2);
    EXPECT_EQ(UFieldData::GetInteger(fd, 99), 0);
    EXPECT_EQ(UFieldData::GetIntegerByIndex(fd, 1), 254);
    EXPECT_EQ(UFieldData::GetIntegerByIndex(fd, 3), 0);
    EXPECT_EQ(UFieldData::GetIntegerByIndex(fd, 5), 0);

    // A zero-length field can only arrive from a peer; it reads as 0 and is still counted.
    StFieldData rx(Received({0, 1, 0, 7, 0, 0}));
    EXPECT_EQ(UFieldData::GetFieldCount(rx), 1);
    EXPECT_EQ(UFieldData::GetFieldSize(rx, 7), 0u);
    EXPECT_EQ(UFieldData::GetInteger(rx, 7), 0);
}

TEST(FieldData, TextFieldsCarryOnlyTheCharacters) {
    StFieldData fd;
    const std::uint8_t name[] = {5, 'h', 'e', 'l', 'l', 'o'};
    const std::uint8_t empty[] = {0};
    UFieldData::AddPString(fd, 102, name);
    UFieldData::AddCString(fd, 105, "ab");
    UFieldData::AddPString(fd, 106, empty);
    UFieldData::AddCString(fd, 107, "");
    UFieldData::AddPString(fd, 108, nullptr);
    UFieldData::AddCString(fd, 109, nullptr);
    UFieldData::AddString(fd, 110, "");
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 2);
    EXPECT_EQ(WireOf(fd), (Bytes{0, 2, 0, 102, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 105, 0, 2, 'a', 'b'}));

    std::uint8_t p[8];
    std::memset(p, 0xAA, sizeof p);
    UFieldData::GetPString(fd, 102, p, 4);
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(std::memcmp(p + 1, "hel", 3), 0);
    EXPECT_EQ(p[4], 0xAA);
    UFieldData::GetPString(fd, 106, p, sizeof p);
    EXPECT_EQ(p[0], 0);

    char c[8];
    std::memset(c, 'x', sizeof c);
    UFieldData::GetCString(fd, 102, c, 5);
    EXPECT_STREQ(c, "hell");
    UFieldData::GetCString(fd, 999, c, sizeof c);
    EXPECT_STREQ(c, "");
    c[0] = 'x';
    UFieldData::GetCString(fd, 102, c, 0);  // no room even for the NUL
    EXPECT_EQ(c[0], 'x');
    UFieldData::GetPString(fd, 102, p, 0);
    EXPECT_EQ(p[0], 0);

    EXPECT_EQ(UFieldData::GetString(fd, 102), "hello");
    EXPECT_EQ(UFieldData::GetString(fd, 999), "");
    EXPECT_EQ(UFieldData::GetStringByIndex(fd, 2), "ab");
    EXPECT_EQ(UFieldData::GetBytes(fd, 105), (Bytes{'a', 'b'}));
    EXPECT_EQ(UFieldData::GetBytesByIndex(fd, 1), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_TRUE(UFieldData::HasField(fd, 105));
    EXPECT_FALSE(UFieldData::HasField(fd, 106));
}

TEST(FieldData, PStringCapacityBoundsTheCopy) {
    StFieldData fd;
    Bytes forty(40);
    for (std::size_t i = 0; i < forty.size(); ++i) forty[i] = static_cast<std::uint8_t>('A' + i % 26);
    UFieldData::AddField(fd, 1, forty.data(), 40);
    std::uint8_t p[40];
    std::memset(p, 0xEE, sizeof p);
    UFieldData::GetPString(fd, 1, p, 32);
    EXPECT_EQ(p[0], 31);
    EXPECT_EQ(std::memcmp(p + 1, forty.data(), 31), 0);
    EXPECT_EQ(p[32], 0xEE);

    // The length byte cannot say more than 255, whatever capacity the caller offers.
    Bytes big(300, 'z');
    UFieldData::AddField(fd, 2, big.data(), 300);
    std::uint8_t q[400];
    UFieldData::GetPString(fd, 2, q, sizeof q);
    EXPECT_EQ(q[0], 255);
}

TEST(FieldData, ReadFieldOffsetsAndLimits) {
    StFieldData fd;
    UFieldData::AddString(fd, 5, "0123456789");
    char buf[16] = {};
    EXPECT_EQ(UFieldData::ReadField(fd, 5, 3, buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "3456");
    EXPECT_EQ(UFieldData::ReadField(fd, 5, 8, buf, 16), 2u);
    EXPECT_EQ(std::string(buf, 2), "89");
    EXPECT_EQ(UFieldData::ReadField(fd, 5, 10, buf, 16), 0u);
    EXPECT_EQ(UFieldData::ReadField(fd, 5, 11, buf, 16), 0u);
    EXPECT_EQ(UFieldData::ReadField(fd, 6, 0, buf, 16), 0u);
    EXPECT_EQ(UFieldData::GetField(fd, 5, buf, 3), 3u);
    EXPECT_EQ(UFieldData::ReadFieldByIndex(fd, 1, 9, buf, 16), 1u);
    EXPECT_EQ(buf[0], '9');
    EXPECT_EQ(UFieldData::GetFieldByIndex(fd, 2, buf, 16), 0u);
    EXPECT_EQ(UFieldData::GetFieldSize(fd, 5), 10u);
}

TEST(FieldData, OverCountedListYieldsItsCompleteFields) {
    // Count 5; three complete fields, then a fourth whose data runs past the end.
    const Bytes wire = {0, 5,
                        0, 1, 0, 1, 'a',
                        0, 2, 0, 2, 'b', 'b',
                        0, 3, 0, 0,
                        0, 4, 0, 9, 'c', 'c'};
    StFieldData fd(Received(wire));
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 3);
    EXPECT_EQ(UFieldData::GetFieldID(fd, 3), 3);
    EXPECT_EQ(UFieldData::GetFieldID(fd, 4), 0);
    EXPECT_EQ(UFieldData::GetFieldSize(fd, 4), 0u);
    EXPECT_FALSE(UFieldData::HasField(fd, 4));
    EXPECT_EQ(UFieldData::GetString(fd, 2), "bb");

    // A field header cut short is not a field either.
    StFieldData cutHeader(Received({0, 2, 0, 1, 0, 1, 'a', 0, 2, 0}));
    EXPECT_EQ(UFieldData::GetFieldCount(cutHeader), 1);
    EXPECT_EQ(UFieldData::GetFieldID(cutHeader, 2), 0);
}

TEST(FieldData, ShortListsCountZero) {
    for (const Bytes& wire : {Bytes{}, Bytes{0}, Bytes{0, 5}, Bytes{0xFF, 0xFF}}) {
        StFieldData fd(Received(wire));
        EXPECT_EQ(UFieldData::GetFieldCount(fd), 0) << wire.size() << " bytes";
        EXPECT_EQ(UFieldData::GetFieldID(fd, 1), 0);
    }
    // Bytes after the counted fields are not fields.
    StFieldData extra(Received({0, 1, 0, 9, 0, 1, 'x', 0, 8, 0, 1, 'y'}));
    EXPECT_EQ(UFieldData::GetFieldCount(extra), 1);
    EXPECT_FALSE(UFieldData::HasField(extra, 8));
}

TEST(FieldData, AppendAfterMalformedListStaysReadable) {
    // Over-counted and truncated: the append must not land behind the partial field, where no
    // read could see it.
    StFieldData fd(Received({0, 5, 0, 1, 0, 1, 'a', 0, 4, 0, 9, 'c'}));
    UFieldData::AddString(fd, 7, "new");
    EXPECT_EQ(WireOf(fd), (Bytes{0, 2, 0, 1, 0, 1, 'a', 0, 7, 0, 3, 'n', 'e', 'w'}));
    EXPECT_EQ(UFieldData::GetString(fd, 7), "new");

    // Trailing bytes after the last counted field are dropped on append.
    StFieldData trailing(Received({0, 1, 0, 1, 0, 1, 'a', 0xDE, 0xAD}));
    UFieldData::AddInteger(trailing, 2, 3);
    EXPECT_EQ(WireOf(trailing), (Bytes{0, 2, 0, 1, 0, 1, 'a', 0, 2, 0, 2, 0, 3}));

    // An adopted empty handle becomes a proper list.
    StFieldData emptyHandle(Received({}));
    UFieldData::AddInteger(emptyHandle, 2, 3);
    EXPECT_EQ(WireOf(emptyHandle), (Bytes{0, 1, 0, 2, 0, 2, 0, 3}));

    // A well-formed received list is appended to in place.
    StFieldData good(Received({0, 1, 0, 1, 0, 1, 'a'}));
    UFieldData::AddInteger(good, 2, 3);
    EXPECT_EQ(WireOf(good), (Bytes{0, 2, 0, 1, 0, 1, 'a', 0, 2, 0, 2, 0, 3}));
}

TEST(FieldData, DuplicateIdsAreAllReachableByIndex) {
    StFieldData fd;
    UFieldData::AddString(fd, 300, "first");
    UFieldData::AddInteger(fd, 100, 1);
    UFieldData::AddString(fd, 300, "second");
    UFieldData::AddString(fd, 300, "third");
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 4);
    std::vector<std::string> entries;
    for (std::uint16_t i = 1; i <= UFieldData::GetFieldCount(fd); ++i)
        if (UFieldData::GetFieldID(fd, i) == 300) entries.push_back(UFieldData::GetStringByIndex(fd, i));
    EXPECT_EQ(entries, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(UFieldData::GetFieldIndex(fd, 300), 1);
    EXPECT_EQ(UFieldData::GetString(fd, 300), "first");
}

TEST(FieldData, LookupFindsEveryIdWhateverTheOrder) {
    StFieldData fd;
    std::vector<std::uint16_t> ids;
    for (std::uint16_t id = 2; id <= 400; id += 2) ids.push_back(id);
    std::mt19937 rng(7);
    std::shuffle(ids.begin(), ids.end(), rng);
    for (std::uint16_t id : ids) UFieldData::AddInteger(fd, id, id * 1000);
    ASSERT_EQ(UFieldData::GetFieldCount(fd), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(UFieldData::GetInteger(fd, ids[i]), ids[i] * 1000);
        EXPECT_EQ(UFieldData::GetFieldIndex(fd, ids[i]), i + 1);
        EXPECT_EQ(UFieldData::GetFieldID(fd, static_cast<std::uint16_t>(i + 1)), ids[i]);
    }
    for (std::uint16_t absent : {1, 3, 201, 401, 65535}) EXPECT_FALSE(UFieldData::HasField(fd, absent)) << absent;
    EXPECT_EQ(UFieldData::GetFieldIndex(fd, 0), 0);
}

TEST(FieldData, ChangesAreSeenByTheNextRead) {
    StFieldData fd;
    UFieldData::AddInteger(fd, 5, 1);
    EXPECT_EQ(UFieldData::GetInteger(fd, 5), 1);  // fills the one-entry cache
    UFieldData::AddInteger(fd, 6, 2);
    EXPECT_EQ(UFieldData::GetInteger(fd, 6), 2);
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 2);

    // New bytes in which id 5 sits at another index and holds another value.
    UFieldData::SetDataHandle(fd, std::make_unique<THdl>(Bytes{0, 2, 0, 9, 0, 1, 'x', 0, 5, 0, 2, 0, 42}), 0);
    EXPECT_EQ(UFieldData::GetInteger(fd, 5), 42);
    EXPECT_EQ(UFieldData::GetFieldIndex(fd, 5), 2);

    // Bytes changed through the handle are parsed afresh.
    UFieldData::GetDataHandle(fd)[12] = 43;
    EXPECT_EQ(UFieldData::GetInteger(fd, 5), 43);

    UFieldData::DeleteAllFields(fd);
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 0);
    EXPECT_EQ(UFieldData::GetInteger(fd, 5), 0);
    EXPECT_EQ(WireOf(fd), (Bytes{0, 0}));
    UFieldData::AddInteger(fd, 1, 9);
    EXPECT_EQ(WireOf(fd), (Bytes{0, 1, 0, 1, 0, 2, 0, 9}));
}

TEST(FieldData, AppendMayCopyFromItsOwnBytes) {
    StFieldData fd;
    UFieldData::AddString(fd, 1, "abc");
    const THdl& h = UFieldData::GetDataHandle(fd);
    UFieldData::AddField(fd, 2, h.data() + 6, 3);
    EXPECT_EQ(UFieldData::GetString(fd, 2), "abc");
}

TEST(FieldData, ProgrammingErrorsAndLimits) {
    StFieldData fd;
    std::uint8_t byte = 1;
    for (const auto& e : {ErrorOf([&] { UFieldData::AddField(nullptr, 1, &byte, 1); }),
                          ErrorOf([&] { UFieldData::AddField(fd, 0, &byte, 1); }),
                          ErrorOf([&] { UFieldData::AddInteger(fd, 0, 1); }),
                          ErrorOf([&] { UFieldData::DeleteAllFields(nullptr); }),
                          ErrorOf([&] { UFieldData::GetDataHandle(nullptr); }),
                          ErrorOf([&] { UFieldData::SetDataHandle(fd, nullptr, 0); }),
                          ErrorOf([&] { UFieldData::SetDataHandle(nullptr, std::make_unique<THdl>(), 0); })})
        EXPECT_EQ(e, std::make_pair(1, 2));

    Bytes big(65536, 'q');
    UFieldData::AddField(fd, 1, big.data(), 65535);
    EXPECT_EQ(UFieldData::GetFieldSize(fd, 1), 65535u);
    test::CDebugCapture diag;
    EXPECT_EQ(ErrorOf([&] { UFieldData::AddField(fd, 2, big.data(), 65536); }), std::make_pair(1, 10));
    EXPECT_NE(diag.Text().find("UFieldData::AddField() - maximum field size is 65535 bytes"), std::string::npos);
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 1);
    EXPECT_EQ(UFieldData::GetDataHandle(fd).size(), 2u + 4 + 65535);

    // Reads of nothing report nothing.
    char buf[4];
    EXPECT_EQ(UFieldData::GetFieldCount(nullptr), 0);
    EXPECT_EQ(UFieldData::GetField(nullptr, 1, buf, 4), 0u);
    EXPECT_EQ(UFieldData::GetInteger(fd, 0), 0);
    EXPECT_EQ(UFieldData::GetFieldID(fd, 0), 0);
    EXPECT_EQ(UFieldData::GetFieldByIndex(fd, 0, buf, 4), 0u);
    UFieldData::Dispose(nullptr);
}

TEST(FieldData, CountStopsAt65535Fields) {
    StFieldData fd;
    const std::uint8_t b = 7;
    for (std::uint32_t i = 0; i < 65535; ++i) UFieldData::AddField(fd, 1, &b, 1);
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 65535);
    EXPECT_EQ(ErrorOf([&] { UFieldData::AddField(fd, 1, &b, 1); }), std::make_pair(1, 10));
    EXPECT_EQ(UFieldData::GetFieldCount(fd), 65535);
    EXPECT_EQ(UFieldData::GetDataHandle(fd)[0], 0xFF);
}

TEST(FieldData, NestedListInOneField) {
    StFieldData account;
    UFieldData::AddString(account, 102, "Al");
    UFieldData::AddInteger(account, 110, 3);
    StFieldData outer;
    UFieldData::AddFieldList(outer, 300, account);
    StFieldData emptyInner;
    UFieldData::AddFieldList(outer, 300, emptyInner);
    EXPECT_EQ(WireOf(outer), (Bytes{0, 2,
                                    0x01, 0x2C, 0, 14, 0, 2, 0, 102, 0, 2, 'A', 'l', 0, 110, 0, 2, 0, 3,
                                    0x01, 0x2C, 0, 2, 0, 0}));

    const Bytes first = UFieldData::GetBytesByIndex(outer, 1);
    StFieldData inner(UFieldData::NewFromBytes(first.data(), static_cast<std::uint32_t>(first.size())));
    EXPECT_EQ(UFieldData::GetString(inner, 102), "Al");
    EXPECT_EQ(UFieldData::GetInteger(inner, 110), 3);
    const Bytes second = UFieldData::GetBytesByIndex(outer, 2);
    StFieldData innerEmpty(UFieldData::NewFromBytes(second.data(), static_cast<std::uint32_t>(second.size())));
    EXPECT_EQ(UFieldData::GetFieldCount(innerEmpty), 0);
}

}  // namespace
}  // namespace kx
