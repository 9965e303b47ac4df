// A field list (every transaction body) held in its wire form: a 16-bit count, then fields of
// 16-bit id, 16-bit size and data, all big-endian. The flat bytes are the only storage; the
// lookup tables are derived on the first read after a change. Module UFieldData.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kx {

// The resizable block that holds a list's flat bytes (and a received transaction's data).
using THdl = std::vector<std::uint8_t>;

struct SFieldData {
    std::unique_ptr<THdl> h;              // null for a list to which nothing has been added yet
    std::uint32_t headerSize = 0;         // bytes before the list that belong to the creator
    std::vector<std::uint32_t> offsetTable;   // derived: offset of each parsed field, then the end
    std::vector<std::uint32_t> lookupTable;   // derived: (id << 16 | zero-based index), sorted by id
    bool tablesValid = false;
    std::uint32_t tableSize = 0;
    std::uint32_t lastSearchIndex = 0;
    std::uint16_t lastSearchID = 0;
};
using TFieldDataObj = SFieldData*;

// Owns one field list for a scope (the scope guard of the original API).
class StFieldData {
public:
    StFieldData();
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
void GetPString(TFieldDataObj obj, std::uint16_t id, std::uint8_t* dest, std::uint32_t capacity);
void GetCString(TFieldDataObj obj, std::uint16_t id, char* dest, std::uint32_t capacity);

std::uint16_t GetFieldCount(TFieldDataObj obj);
std::uint16_t GetFieldID(TFieldDataObj obj, std::uint16_t index);
std::uint16_t GetFieldIndex(TFieldDataObj obj, std::uint16_t id);
std::uint32_t ReadFieldByIndex(TFieldDataObj obj, std::uint16_t index, std::uint32_t offset, void* dest,
                               std::uint32_t max);
std::uint32_t GetFieldByIndex(TFieldDataObj obj, std::uint16_t index, void* dest, std::uint32_t capacity);
std::int32_t GetIntegerByIndex(TFieldDataObj obj, std::uint16_t index);

void DeleteAllFields(TFieldDataObj obj);
// The flat bytes (created as an empty list of headerSize + 2 zero bytes when absent); the object
// keeps ownership.
THdl& GetDataHandle(TFieldDataObj obj);
// Adopts `h` (non-null) and its header size, freeing the current bytes and tables.
void SetDataHandle(TFieldDataObj obj, std::unique_ptr<THdl> h, std::uint32_t headerSize);

}  // namespace UFieldData

}  // namespace kx
