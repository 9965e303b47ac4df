// Protocol bytes for the load programs (chat_bench, soak), which speak to the server from raw
// sockets: big-endian numbers, field lists and request frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx::bench {

inline void PutU16(std::string& s, std::uint16_t v) {
    s += char(v >> 8);
    s += char(v & 0xFF);
}
inline void PutU32(std::string& s, std::uint32_t v) {
    PutU16(s, std::uint16_t(v >> 16));
    PutU16(s, std::uint16_t(v));
}
inline std::uint16_t GetU16(const std::uint8_t* p) { return std::uint16_t((p[0] << 8) | p[1]); }
inline std::uint32_t GetU32(const std::uint8_t* p) { return (std::uint32_t(GetU16(p)) << 16) | GetU16(p + 2); }

inline std::string U16(std::uint16_t v) {
    std::string s;
    PutU16(s, v);
    return s;
}
inline std::string U32(std::uint32_t v) {
    std::string s;
    PutU32(s, v);
    return s;
}

struct Field {
    std::uint16_t id;
    std::string data;
};

inline std::string FieldList(const std::vector<Field>& fields) {
    std::string body;
    PutU16(body, std::uint16_t(fields.size()));
    for (const Field& f : fields) {
        PutU16(body, f.id);
        PutU16(body, std::uint16_t(f.data.size()));
        body += f.data;
    }
    return body;
}

// A request's 20-byte header (flags 0, not a reply) followed by `body`.
inline std::string Frame(std::uint16_t type, std::uint32_t id, const std::string& body) {
    std::string out;
    out += char(0);
    out += char(0);
    PutU16(out, type);
    PutU32(out, id);
    PutU32(out, 0);
    PutU32(out, std::uint32_t(body.size()));
    PutU32(out, std::uint32_t(body.size()));
    return out + body;
}

inline std::string Request(std::uint16_t type, std::uint32_t id, const std::vector<Field>& fields) {
    return Frame(type, id, FieldList(fields));
}

}  // namespace kx::bench
