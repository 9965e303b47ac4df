// Field lists: the flat wire bytes, the lookup tables derived from them on demand, and the
// typed appends and reads of module UFieldData. Everything here runs on the main loop's thread.
#include "protocol/field_data.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "framework/byte_codec.h"
#include "framework/error.h"

namespace kx {

namespace {

constexpr std::uint32_t kCountSize = 2;
constexpr std::uint32_t kFieldHeaderSize = 4;

void DiscardTables(SFieldData& fd) {
    fd.offsetTable.clear();
    fd.lookupTable.clear();
    fd.tablesValid = false;
    fd.tableSize = 0;
    fd.lastSearchIndex = 0;
    fd.lastSearchID = 0;
}

// The list part of the handle (after the creator's header); empty when the handle is shorter.
struct SListBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

SListBytes ListBytes(const SFieldData& fd) {
    if (!fd.h || fd.h->size() <= fd.headerSize) return {};
    return {fd.h->data() + fd.headerSize, fd.h->size() - fd.headerSize};
}

void SiftDown(std::vector<std::uint32_t>& a, std::size_t root, std::size_t end) {
    while (2 * root + 1 < end) {
        std::size_t child = 2 * root + 1;
        if (child + 1 < end && a[child] < a[child + 1]) ++child;
        if (!(a[root] < a[child])) return;
        std::swap(a[root], a[child]);
        root = child;
    }
}

// Sorts (id << 16 | index) entries. Comparing the whole entry orders equal ids by wire position,
// so a lookup by id finds the first such field.
void HeapSort(std::vector<std::uint32_t>& a) {
    const std::size_t n = a.size();
    for (std::size_t start = n / 2; start-- > 0;) SiftDown(a, start, n);
    for (std::size_t end = n; end > 1; --end) {
        std::swap(a[0], a[end - 1]);
        SiftDown(a, 0, end - 1);
    }
}

// Builds the tables from the flat bytes. A truncated or over-counted list yields its complete
// leading fields; nothing here fails on malformed input.
void Parse(SFieldData& fd) {
    DiscardTables(fd);
    const SListBytes list = ListBytes(fd);
    const std::uint32_t count = list.size <= kCountSize ? 0 : GetBE16(list.data);
    // The count comes from the peer: reserve no more than the bytes could hold.
    const std::size_t room = list.size > kCountSize ? (list.size - kCountSize) / kFieldHeaderSize : 0;
    const std::size_t expected = std::min<std::size_t>(count, room);
    try {
        fd.offsetTable.reserve(expected + 1);
        fd.lookupTable.reserve(expected);
        std::size_t pos = kCountSize;
        std::uint32_t accepted = 0;
        while (accepted < count) {
            if (list.size < pos || list.size - pos < kFieldHeaderSize) break;
            const std::uint16_t id = GetBE16(list.data + pos);
            const std::uint16_t size = GetBE16(list.data + pos + 2);
            const std::size_t end = pos + kFieldHeaderSize + size;
            if (end > list.size || end > std::numeric_limits<std::uint32_t>::max()) break;
            fd.offsetTable.push_back(static_cast<std::uint32_t>(pos));
            fd.lookupTable.push_back(static_cast<std::uint32_t>(id) << 16 | accepted);
            pos = end;
            ++accepted;
        }
        fd.offsetTable.push_back(static_cast<std::uint32_t>(pos));
        fd.tableSize = accepted;
    } catch (const std::bad_alloc&) {
        DiscardTables(fd);
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
    HeapSort(fd.lookupTable);
    fd.tablesValid = true;
}

void EnsureTables(SFieldData& fd) {
    if (!fd.tablesValid) Parse(fd);
}

// Zero-based wire index of a field with `id` (the first on the wire among equals).
bool FindByID(TFieldDataObj obj, std::uint16_t id, std::uint32_t& outIndex) {
    if (!obj || id == 0) return false;
    SFieldData& fd = *obj;
    EnsureTables(fd);
    if (fd.lastSearchID == id) {
        outIndex = fd.lastSearchIndex;
        return true;
    }
    const auto& table = fd.lookupTable;
    if (table.empty()) return false;
    const auto entryID = [](std::uint32_t entry) { return static_cast<std::uint16_t>(entry >> 16); };
    std::size_t found;
    if (entryID(table[0]) == id) {
        found = 0;
    } else if (id < entryID(table[0])) {
        return false;
    } else {
        const auto it = std::lower_bound(table.begin() + 1, table.end(), id,
                                         [&](std::uint32_t entry, std::uint16_t want) { return entryID(entry) < want; });
        if (it == table.end() || entryID(*it) != id) return false;
        found = static_cast<std::size_t>(it - table.begin());
    }
    outIndex = table[found] & 0xFFFF;
    fd.lastSearchID = id;
    fd.lastSearchIndex = outIndex;
    return true;
}

// 1-based wire index to zero-based; false for 0 or beyond the parsed fields.
bool IndexToZeroBased(TFieldDataObj obj, std::uint16_t index, std::uint32_t& outIndex) {
    if (!obj || index == 0) return false;
    EnsureTables(*obj);
    if (index > obj->tableSize) return false;
    outIndex = index - 1u;
    return true;
}

struct SFieldView {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

// Valid only until the next change of the object.
SFieldView FieldAt(const SFieldData& fd, std::uint32_t index) {
    const std::uint8_t* field = ListBytes(fd).data + fd.offsetTable[index];
    return {field + kFieldHeaderSize, GetBE16(field + 2)};
}

std::uint32_t CopyFrom(const SFieldView& f, std::uint32_t offset, void* dest, std::uint32_t max) {
    if (offset >= f.size || max == 0) return 0;
    KX_REQUIRE(dest);
    const std::uint32_t n = std::min(f.size - offset, max);
    std::memcpy(dest, f.data + offset, n);
    return n;
}

std::int32_t DecodeInteger(const SFieldView& f) {
    const std::uint8_t* p = f.data;
    switch (f.size) {
        case 0:
        case 3:
            return 0;
        case 1:
            return p[0];
        case 2:
            return GetBE16(p);
        default:
            return static_cast<std::int32_t>(GetBE32(p));
    }
}

// Adopted bytes may be truncated, over-counted or carry trailing bytes; appending after them would
// leave the new field unreachable. Cut such a list back to the fields a read can see, so that the
// count and the bytes agree again.
void PrepareForAppend(SFieldData& fd) {
    if (fd.appendReady) return;
    EnsureTables(fd);
    const SListBytes list = ListBytes(fd);
    const std::uint32_t end = fd.offsetTable.back();
    const bool countMatches = list.size >= kCountSize && GetBE16(list.data) == fd.tableSize;
    if (!countMatches || list.size != end) {
        fd.h->resize(std::size_t{fd.headerSize} + end, 0);
        PutBE16(fd.h->data() + fd.headerSize, static_cast<std::uint16_t>(fd.tableSize));
        DiscardTables(fd);
    }
    fd.appendReady = true;
}

}  // namespace

StFieldData::StFieldData() : mObj(UFieldData::New()) {}
StFieldData::StFieldData(TFieldDataObj obj) : mObj(obj) {}
StFieldData::~StFieldData() { UFieldData::Dispose(mObj); }

namespace UFieldData {

TFieldDataObj New(std::unique_ptr<THdl> h, std::uint32_t headerSize) {
    auto obj = new SFieldData;
    obj->h = std::move(h);
    obj->headerSize = headerSize;
    return obj;
}

void Dispose(TFieldDataObj obj) { delete obj; }

void AddField(TFieldDataObj obj, std::uint16_t id, const void* data, std::uint32_t size) {
    if (!obj || id == 0) KX_FAIL_PARAM();
    if (size > kMaxFieldSize) {
        UError::DebugBreak("UFieldData::AddField() - maximum field size is 65535 bytes");
        KX_FAIL(kErrClassGeneral, kErrSizeLimit);
    }
    if (size == 0) return;
    KX_REQUIRE(data);
    SFieldData& fd = *obj;
    try {
        if (!fd.h) {
            auto h = std::make_unique<THdl>(std::size_t{fd.headerSize} + kCountSize + kFieldHeaderSize + size, 0);
            std::uint8_t* p = h->data() + fd.headerSize;
            PutBE16(p, 1);
            PutBE16(p + 2, id);
            PutBE16(p + 4, static_cast<std::uint16_t>(size));
            std::memcpy(p + 6, data, size);
            fd.h = std::move(h);
        } else {
            // The source may lie inside our own bytes, which the resize below can move.
            const auto* src = static_cast<const std::uint8_t*>(data);
            THdl copy;
            if (src >= fd.h->data() && src < fd.h->data() + fd.h->size()) {
                copy.assign(src, src + size);
                src = copy.data();
            }
            PrepareForAppend(fd);
            THdl& h = *fd.h;
            std::uint8_t* countAt = h.data() + fd.headerSize;
            const std::uint16_t count = GetBE16(countAt);
            if (count >= kMaxFieldCount) KX_FAIL(kErrClassGeneral, kErrSizeLimit);
            const std::size_t oldEnd = h.size();
            if (oldEnd - fd.headerSize + kFieldHeaderSize + size > std::numeric_limits<std::uint32_t>::max())
                KX_FAIL(kErrClassGeneral, kErrSizeLimit);
            h.resize(oldEnd + kFieldHeaderSize + size);
            countAt = h.data() + fd.headerSize;
            PutBE16(countAt, static_cast<std::uint16_t>(count + 1));
            std::uint8_t* p = h.data() + oldEnd;
            PutBE16(p, id);
            PutBE16(p + 2, static_cast<std::uint16_t>(size));
            std::memcpy(p + 4, src, size);
        }
    } catch (const std::bad_alloc&) {
        DiscardTables(fd);
        KX_FAIL(kErrClassMemory, kErrNoMemory);
    }
    DiscardTables(fd);
    fd.appendReady = true;
}

void AddInteger(TFieldDataObj obj, std::uint16_t id, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    std::uint8_t bytes[4];
    if ((v >> 16) == 0) {
        PutBE16(bytes, static_cast<std::uint16_t>(v));
        AddField(obj, id, bytes, 2);
    } else {
        PutBE32(bytes, v);
        AddField(obj, id, bytes, 4);
    }
}

void AddPString(TFieldDataObj obj, std::uint16_t id, const std::uint8_t* pstr) {
    if (!obj || id == 0) KX_FAIL_PARAM();
    if (!pstr) return;
    AddField(obj, id, pstr + 1, pstr[0]);
}

void AddCString(TFieldDataObj obj, std::uint16_t id, const char* cstr) {
    if (!obj || id == 0) KX_FAIL_PARAM();
    if (!cstr) return;
    const std::size_t len = std::strlen(cstr);
    AddField(obj, id, cstr, len > kMaxFieldSize ? kMaxFieldSize + 1 : static_cast<std::uint32_t>(len));
}

std::uint32_t ReadField(TFieldDataObj obj, std::uint16_t id, std::uint32_t offset, void* dest, std::uint32_t max) {
    std::uint32_t index;
    if (!FindByID(obj, id, index)) return 0;
    return CopyFrom(FieldAt(*obj, index), offset, dest, max);
}

std::uint32_t GetField(TFieldDataObj obj, std::uint16_t id, void* dest, std::uint32_t capacity) {
    return ReadField(obj, id, 0, dest, capacity);
}

std::uint32_t GetFieldSize(TFieldDataObj obj, std::uint16_t id) {
    std::uint32_t index;
    return FindByID(obj, id, index) ? FieldAt(*obj, index).size : 0;
}

std::int32_t GetInteger(TFieldDataObj obj, std::uint16_t id) {
    std::uint32_t index;
    return FindByID(obj, id, index) ? DecodeInteger(FieldAt(*obj, index)) : 0;
}

void GetPString(TFieldDataObj obj, std::uint16_t id, std::uint8_t* dest, std::uint32_t capacity) {
    if (capacity == 0) return;
    KX_REQUIRE(dest);
    const std::uint32_t room = std::min<std::uint32_t>(capacity - 1, 255);
    dest[0] = static_cast<std::uint8_t>(GetField(obj, id, dest + 1, room));
}

void GetCString(TFieldDataObj obj, std::uint16_t id, char* dest, std::uint32_t capacity) {
    if (capacity == 0) return;
    KX_REQUIRE(dest);
    dest[GetField(obj, id, dest, capacity - 1)] = '\0';
}

std::uint16_t GetFieldCount(TFieldDataObj obj) {
    if (!obj || !obj->h) return 0;
    EnsureTables(*obj);
    return static_cast<std::uint16_t>(obj->tableSize);
}

std::uint16_t GetFieldID(TFieldDataObj obj, std::uint16_t index) {
    std::uint32_t i;
    if (!IndexToZeroBased(obj, index, i)) return 0;
    return GetBE16(ListBytes(*obj).data + obj->offsetTable[i]);
}

std::uint16_t GetFieldIndex(TFieldDataObj obj, std::uint16_t id) {
    std::uint32_t index;
    return FindByID(obj, id, index) ? static_cast<std::uint16_t>(index + 1) : 0;
}

std::uint32_t ReadFieldByIndex(TFieldDataObj obj, std::uint16_t index, std::uint32_t offset, void* dest,
                               std::uint32_t max) {
    std::uint32_t i;
    if (!IndexToZeroBased(obj, index, i)) return 0;
    return CopyFrom(FieldAt(*obj, i), offset, dest, max);
}

std::uint32_t GetFieldByIndex(TFieldDataObj obj, std::uint16_t index, void* dest, std::uint32_t capacity) {
    return ReadFieldByIndex(obj, index, 0, dest, capacity);
}

std::int32_t GetIntegerByIndex(TFieldDataObj obj, std::uint16_t index) {
    std::uint32_t i;
    return IndexToZeroBased(obj, index, i) ? DecodeInteger(FieldAt(*obj, i)) : 0;
}

void DeleteAllFields(TFieldDataObj obj) {
    KX_REQUIRE(obj);
    obj->h.reset();
    DiscardTables(*obj);
    obj->appendReady = false;
}

THdl& GetDataHandle(TFieldDataObj obj) {
    KX_REQUIRE(obj);
    if (!obj->h) {
        try {
            obj->h = std::make_unique<THdl>(std::size_t{obj->headerSize} + kCountSize, 0);
        } catch (const std::bad_alloc&) {
            KX_FAIL(kErrClassMemory, kErrNoMemory);
        }
    }
    // The caller gets write access: whatever it changes must be parsed afresh.
    DiscardTables(*obj);
    obj->appendReady = false;
    return *obj->h;
}

void SetDataHandle(TFieldDataObj obj, std::unique_ptr<THdl> h, std::uint32_t headerSize) {
    if (!obj || !h) KX_FAIL_PARAM();
    obj->h = std::move(h);
    obj->headerSize = headerSize;
    DiscardTables(*obj);
    obj->appendReady = false;
}

TFieldDataObj NewFromBytes(const void* data, std::uint32_t size) {
    KX_REQUIRE(data || size == 0);
    const auto* p = static_cast<const std::uint8_t*>(data);
    return New(size ? std::make_unique<THdl>(p, p + size) : std::make_unique<THdl>(), 0);
}

bool HasField(TFieldDataObj obj, std::uint16_t id) {
    std::uint32_t index;
    return FindByID(obj, id, index);
}

std::string GetString(TFieldDataObj obj, std::uint16_t id) {
    std::uint32_t index;
    if (!FindByID(obj, id, index)) return {};
    const SFieldView f = FieldAt(*obj, index);
    return std::string(reinterpret_cast<const char*>(f.data), f.size);
}

std::string GetStringByIndex(TFieldDataObj obj, std::uint16_t index) {
    std::uint32_t i;
    if (!IndexToZeroBased(obj, index, i)) return {};
    const SFieldView f = FieldAt(*obj, i);
    return std::string(reinterpret_cast<const char*>(f.data), f.size);
}

std::vector<std::uint8_t> GetBytes(TFieldDataObj obj, std::uint16_t id) {
    std::uint32_t index;
    if (!FindByID(obj, id, index)) return {};
    const SFieldView f = FieldAt(*obj, index);
    return std::vector<std::uint8_t>(f.data, f.data + f.size);
}

std::vector<std::uint8_t> GetBytesByIndex(TFieldDataObj obj, std::uint16_t index) {
    std::uint32_t i;
    if (!IndexToZeroBased(obj, index, i)) return {};
    const SFieldView f = FieldAt(*obj, i);
    return std::vector<std::uint8_t>(f.data, f.data + f.size);
}

void AddString(TFieldDataObj obj, std::uint16_t id, std::string_view text) {
    AddField(obj, id, text.data(),
             text.size() > kMaxFieldSize ? kMaxFieldSize + 1 : static_cast<std::uint32_t>(text.size()));
}

std::vector<std::uint8_t> GetListBytes(TFieldDataObj obj) {
    const SListBytes list = obj ? ListBytes(*obj) : SListBytes{};
    if (list.size < kCountSize) return {0, 0};
    return std::vector<std::uint8_t>(list.data, list.data + list.size);
}

void AddFieldList(TFieldDataObj obj, std::uint16_t id, TFieldDataObj inner) {
    KX_REQUIRE(inner);
    const std::vector<std::uint8_t> bytes = GetListBytes(inner);
    AddField(obj, id, bytes.data(),
             bytes.size() > kMaxFieldSize ? kMaxFieldSize + 1 : static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace UFieldData

}  // namespace kx
