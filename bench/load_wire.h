// Protocol bytes for the load programs (chat_bench, soak), which speak to the server from raw
// sockets: big-endian numbers (through the framework's byte codec), field lists and request frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/byte_codec.h"

namespace kx::bench {

inline std::string U16(std::uint16_t v) {
    std::string s;
    AppendBE16(s, v);
    return s;
}
inline std::string U32(std::uint32_t v) {
    std::string s;
    AppendBE32(s, v);
    return s;
}

struct Field {
    std::uint16_t id;
    std::string data;
};

inline std::string FieldList(const std::vector<Field>& fields) {
    std::string body;
    AppendBE16(body, std::uint16_t(fields.size()));
    for (const Field& f : fields) {
        AppendBE16(body, f.id);
        AppendBE16(body, std::uint16_t(f.data.size()));
        body += f.data;
    }
    return body;
}

// A request's 20-byte header (flags 0, not a reply) followed by `body`.
inline std::string Frame(std::uint16_t type, std::uint32_t id, const std::string& body) {
    std::string out;
    out += char(0);
    out += char(0);
    AppendBE16(out, type);
    AppendBE32(out, id);
    AppendBE32(out, 0);
    AppendBE32(out, std::uint32_t(body.size()));
    AppendBE32(out, std::uint32_t(body.size()));
    return out + body;
}

inline std::string Request(std::uint16_t type, std::uint32_t id, const std::vector<Field>& fields) {
    return Frame(type, id, FieldList(fields));
}

}  // namespace kx::bench
