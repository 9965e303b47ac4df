// A field list (every transaction body) held in its wire form: a 16-bit count, then fields of
// 16-bit id, 16-bit size and data, all big-endian. The flat bytes are the only storage; the
// lookup tables are derived on the first read after a change. Module UFieldData.
//
// Reads never fail for a missing field or a malformed received list: they report 0 bytes,
// integer 0 or empty text. Appends raise class 1 code 2 for a null object or id 0 and class 1
// code 10 for a field above 65535 bytes or a list that already holds 65535 fields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// The resizable block that holds a list's flat bytes (and a received transaction's data).
using THdl = std::vector<std::uint8_t>;

struct SFieldData {
    std::unique_ptr<THdl> h;              // null for a list to which nothing has been added yet
    std::uint32_t headerSize = 0;         // bytes before the list that belong to the creator
    std::vector<std::uint32_t> offsetTable;   // derived: offset of each parsed field, then the end
    std::vector<std::uint32_t> lookupTable;   // derived: (id << 16 | zero-based index), sorted
    bool tablesValid = false;
    // True when `h` is known to hold exactly `count` complete fields and nothing after them, so
    // that an append can go straight to the end. Adopted bytes are checked on the first append.
    bool appendReady = false;
    std::uint32_t tableSize = 0;
    std::uint32_t lastSearchIndex = 0;
    std::uint16_t lastSearchID = 0;
};
using TFieldDataObj = SFieldData*;

// Owns one field list for a scope and disposes it when the scope ends.
class StFieldData {
public:
    StFieldData();
    // Adopts an object made by UFieldData::New (or NewFromBytes).
    explicit StFieldData(TFieldDataObj obj);
    ~StFieldData();
    StFieldData(const StFieldData&) = delete;
    StFieldData& operator=(const StFieldData&) = delete;
    TFieldDataObj get() const { return mObj; }
    operator TFieldDataObj() const { return mObj; }
    TFieldDataObj operator->() const { return mObj; }

private:
    TFieldDataObj mObj;
};

namespace UFieldData {

inline constexpr std::uint32_t kMaxFieldSize = 65535;
inline constexpr std::uint32_t kMaxFieldCount = 65535;

TFieldDataObj New(std::unique_ptr<THdl> h = nullptr, std::uint32_t headerSize = 0);
void Dispose(TFieldDataObj obj);

void AddField(TFieldDataObj obj, std::uint16_t id, const void* data, std::uint32_t size);
void AddInteger(TFieldDataObj obj, std::uint16_t id, std::int32_t value);
void AddPString(TFieldDataObj obj, std::uint16_t id, const std::uint8_t* pstr);
void AddCString(TFieldDataObj obj, std::uint16_t id, const char* cstr);

std::uint32_t ReadField(TFieldDataObj obj, std::uint16_t id, std::uint32_t offset, void* dest, std::uint32_t max);
std::uint32_t GetField(TFieldDataObj obj, std::uint16_t id, void* dest, std::uint32_t capacity);
std::uint32_t GetFieldSize(TFieldDataObj obj, std::uint16_t id);
std::int32_t GetInteger(TFieldDataObj obj, std::uint16_t id);
// Copies at most min(capacity - 1, 255) bytes after the length byte; capacity 0 writes nothing.
void GetPString(TFieldDataObj obj, std::uint16_t id, std::uint8_t* dest, std::uint32_t capacity);
// Copies at most capacity - 1 bytes and a NUL; capacity 0 writes nothing.
void GetCString(TFieldDataObj obj, std::uint16_t id, char* dest, std::uint32_t capacity);

std::uint16_t GetFieldCount(TFieldDataObj obj);
std::uint16_t GetFieldID(TFieldDataObj obj, std::uint16_t index);
// With several fields of one id, the one that comes first on the wire.
std::uint16_t GetFieldIndex(TFieldDataObj obj, std::uint16_t id);
std::uint32_t ReadFieldByIndex(TFieldDataObj obj, std::uint16_t index, std::uint32_t offset, void* dest,
                               std::uint32_t max);
std::uint32_t GetFieldByIndex(TFieldDataObj obj, std::uint16_t index, void* dest, std::uint32_t capacity);
std::int32_t GetIntegerByIndex(TFieldDataObj obj, std::uint16_t index);

void DeleteAllFields(TFieldDataObj obj);
// The flat bytes (created as an empty list of headerSize + 2 zero bytes when absent); the object
// keeps ownership. The caller may change the bytes: the derived tables are rebuilt afterwards.
THdl& GetDataHandle(TFieldDataObj obj);
// Adopts `h` (non-null) and its header size, freeing the current bytes and tables.
void SetDataHandle(TFieldDataObj obj, std::unique_ptr<THdl> h, std::uint32_t headerSize);

// Conveniences for handlers.

// A new object holding a copy of `size` bytes as its list (header size 0), e.g. a nested list
// read out of a field.
TFieldDataObj NewFromBytes(const void* data, std::uint32_t size);
bool HasField(TFieldDataObj obj, std::uint16_t id);
// The whole field as text or bytes; empty when absent.
std::string GetString(TFieldDataObj obj, std::uint16_t id);
std::string GetStringByIndex(TFieldDataObj obj, std::uint16_t index);
std::vector<std::uint8_t> GetBytes(TFieldDataObj obj, std::uint16_t id);
std::vector<std::uint8_t> GetBytesByIndex(TFieldDataObj obj, std::uint16_t index);
// Appends the bytes of `text` (an empty text adds no field).
void AddString(TFieldDataObj obj, std::uint16_t id, std::string_view text);
// The list's bytes without the creator's header (00 00 for an empty list).
std::vector<std::uint8_t> GetListBytes(TFieldDataObj obj);
// Appends the whole of `inner` as the data of one field of `obj` (a nested list).
void AddFieldList(TFieldDataObj obj, std::uint16_t id, TFieldDataObj inner);

}  // namespace UFieldData

}  // namespace kx
