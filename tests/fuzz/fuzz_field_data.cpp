// Fuzz target: a received field list. The first input byte picks the creator's header size
// (0-3); the bytes, header included, are adopted as they are. Every read runs over the parsed
// fields, then an append and a nested list, with the invariants that tie them together.
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "framework/error.h"
#include "fuzz/targets.h"
#include "protocol/field_data.h"

namespace kx::fuzz {

namespace {

// Runs every read over every index and returns each field's bytes (index 1 first), so that the
// later comparisons need not read them again.
std::vector<std::vector<std::uint8_t>> ReadEverything(TFieldDataObj obj) {
    const std::uint16_t count = UFieldData::GetFieldCount(obj);
    std::vector<std::vector<std::uint8_t>> fields;
    fields.reserve(count);
    std::uint8_t buf[300];
    for (std::uint32_t index = 0; index <= std::uint32_t{count} + 1 && index <= 0xFFFF; ++index) {
        const auto i = static_cast<std::uint16_t>(index);
        const std::uint16_t id = UFieldData::GetFieldID(obj, i);
        std::vector<std::uint8_t> bytes = UFieldData::GetBytesByIndex(obj, i);
        const std::uint32_t got = UFieldData::GetFieldByIndex(obj, i, buf, sizeof buf);
        KX_FUZZ_CHECK(got == std::min<std::size_t>(bytes.size(), sizeof buf));
        KX_FUZZ_CHECK(got == 0 || std::memcmp(buf, bytes.data(), got) == 0);
        KX_FUZZ_CHECK(UFieldData::GetStringByIndex(obj, i).size() == bytes.size());
        if (bytes.size() > 3) {
            KX_FUZZ_CHECK(UFieldData::ReadFieldByIndex(obj, i, 3, buf, 2) == std::min<std::size_t>(bytes.size() - 3, 2));
        }
        (void)UFieldData::GetIntegerByIndex(obj, i);
        if (index == 0 || index > count) {
            KX_FUZZ_CHECK(id == 0 && bytes.empty());
            continue;
        }
        fields.push_back(std::move(bytes));
        if (id == 0) continue;
        // Lookups by id find the first field of that id on the wire.
        const std::uint16_t first = UFieldData::GetFieldIndex(obj, id);
        KX_FUZZ_CHECK(first != 0 && first <= i);
        KX_FUZZ_CHECK(UFieldData::GetFieldID(obj, first) == id);
        KX_FUZZ_CHECK(UFieldData::HasField(obj, id));
        const std::vector<std::uint8_t> byID = UFieldData::GetBytes(obj, id);
        KX_FUZZ_CHECK(UFieldData::GetFieldSize(obj, id) == byID.size());
        KX_FUZZ_CHECK(byID == fields[first - 1u]);
        std::uint8_t pstr[8];
        UFieldData::GetPString(obj, id, pstr, sizeof pstr);
        KX_FUZZ_CHECK(pstr[0] <= sizeof pstr - 1);
        char cstr[5];
        UFieldData::GetCString(obj, id, cstr, sizeof cstr);
        KX_FUZZ_CHECK(std::strlen(cstr) < sizeof cstr);
        (void)UFieldData::GetInteger(obj, id);
        (void)UFieldData::ReadField(obj, id, 1, buf, sizeof buf);
    }
    return fields;
}

}  // namespace

int FuzzFieldData(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t headerSize = data[0] % 4;
    try {
        StFieldData obj(UFieldData::New(std::make_unique<THdl>(data + 1, data + size), headerSize));
        const std::vector<std::vector<std::uint8_t>> fields = ReadEverything(obj);
        const std::uint16_t count = UFieldData::GetFieldCount(obj);

        // What a reader sees survives a copy of the list bytes.
        const std::vector<std::uint8_t> listBytes = UFieldData::GetListBytes(obj);
        StFieldData copy(UFieldData::NewFromBytes(listBytes.data(), static_cast<std::uint32_t>(listBytes.size())));
        KX_FUZZ_CHECK(UFieldData::GetFieldCount(copy) == count);
        for (std::uint32_t i = 1; i <= count; ++i) {
            const auto index = static_cast<std::uint16_t>(i);
            KX_FUZZ_CHECK(UFieldData::GetFieldID(copy, index) == UFieldData::GetFieldID(obj, index));
            KX_FUZZ_CHECK(UFieldData::GetBytesByIndex(copy, index) == fields[i - 1]);
        }

        // An append after a damaged list is reachable, and the earlier fields stay as they were.
        if (count < UFieldData::kMaxFieldCount) {
            UFieldData::AddInteger(obj, 0xFFFF, 0x12345678);
            KX_FUZZ_CHECK(UFieldData::GetFieldCount(obj) == count + 1);
            KX_FUZZ_CHECK(UFieldData::GetIntegerByIndex(obj, static_cast<std::uint16_t>(count + 1)) == 0x12345678);
            // (The copy reads as the list did before the append: checked above.)
            const std::vector<std::vector<std::uint8_t>> appended = ReadEverything(obj);
            KX_FUZZ_CHECK(appended.size() == std::size_t{count} + 1);
            for (std::uint32_t i = 1; i <= count; ++i) KX_FUZZ_CHECK(appended[i - 1] == fields[i - 1]);
        }

        // The list nested in a field of another reads back whole.
        StFieldData outer;
        if (UFieldData::GetListBytes(copy).size() <= UFieldData::kMaxFieldSize) {
            UFieldData::AddFieldList(outer, 7, copy);
            const std::vector<std::uint8_t> inner = UFieldData::GetBytes(outer, 7);
            KX_FUZZ_CHECK(inner == UFieldData::GetListBytes(copy));
        }

        UFieldData::DeleteAllFields(obj);
        KX_FUZZ_CHECK(UFieldData::GetFieldCount(obj) == 0);
    } catch (const SError&) {
        // Size limits on appends are documented refusals.
    }
    return 0;
}

}  // namespace kx::fuzz
