// Blocking WebSocket client for tests; see websocket_test_client.h.
#include "support/websocket_test_client.h"

#include "framework/byte_codec.h"
#include "protocol/transaction_types.h"
#include "protocol/user_data.h"

namespace kx::test {

std::string CWebSocketTestClient::Upgrade(std::uint16_t port, const std::string& path, const std::string& extraHeaders) {
    if (!mSocket.Connect(port)) return {};
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                                extraHeaders + "\r\n";
    if (!mSocket.SendRaw(Bytes(request.begin(), request.end()))) return {};
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        auto byte = mSocket.ReadExact(1);
        if (!byte) return {};
        head.push_back(static_cast<char>((*byte)[0]));
    }
    return head;
}

Bytes CWebSocketTestClient::Frame(std::uint8_t opcode, const Bytes& payload, bool fin, bool masked) {
    Bytes out{static_cast<std::uint8_t>((fin ? 0x80 : 0) | opcode)};
    const std::uint8_t maskBit = masked ? 0x80 : 0;
    if (payload.size() < 126) {
        out.push_back(static_cast<std::uint8_t>(maskBit | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        out.push_back(maskBit | 126);
        AppendBE16(out, static_cast<std::uint16_t>(payload.size()));
    } else {
        out.push_back(maskBit | 127);
        AppendBE32(out, 0);
        AppendBE32(out, static_cast<std::uint32_t>(payload.size()));
    }
    const std::uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (masked) out.insert(out.end(), mask, mask + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) out.push_back(payload[i] ^ (masked ? mask[i & 3] : 0));
    return out;
}

std::optional<SWsTestFrame> CWebSocketTestClient::ReadFrame(int timeoutMs) {
    auto head = mSocket.ReadExact(2, timeoutMs);
    if (!head) return std::nullopt;
    SWsTestFrame f{static_cast<std::uint8_t>((*head)[0] & 0x0F), ((*head)[0] & 0x80) != 0, {}};
    std::uint64_t size = (*head)[1] & 0x7F;
    if (size >= 126) {
        auto ext = mSocket.ReadExact(size == 126 ? 2 : 8, timeoutMs);
        if (!ext) return std::nullopt;
        size = size == 126 ? GetBE16(ext->data()) : GetBE64(ext->data());
    }
    if (size > (64u << 20)) return std::nullopt;
    if (size != 0) {
        auto payload = mSocket.ReadExact(static_cast<std::size_t>(size), timeoutMs);
        if (!payload) return std::nullopt;
        f.payload = std::move(*payload);
    }
    return f;
}

std::optional<Bytes> CWebSocketTestClient::ReadStream(std::size_t n) {
    while (mStream.size() < n) {
        auto f = ReadFrame();
        if (!f || f->opcode == 0x8) return std::nullopt;
        if (f->opcode == 0x2 || f->opcode == 0x0) mStream.insert(mStream.end(), f->payload.begin(), f->payload.end());
    }
    Bytes out(mStream.begin(), mStream.begin() + static_cast<std::ptrdiff_t>(n));
    mStream.erase(mStream.begin(), mStream.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

std::optional<std::uint16_t> CWebSocketTestClient::ReadCloseCode() {
    for (;;) {
        auto f = ReadFrame();
        if (!f) return std::nullopt;
        if (f->opcode == 0x8) return f->payload.size() >= 2 ? GetBE16(f->payload.data()) : 0;
    }
}

bool CWebSocketTestClient::LogIn(const std::string& login, const std::string& password, const std::string& name) {
    if (!SendBinary(EstablishRequest())) return false;
    auto reply = ReadStream(8);
    if (!reply || GetBE32(reply->data() + 4) != 0) return false;
    const std::uint32_t id = ++mNextID;
    if (!SendBinary(EncodeRequest(kTranLogin, id, LoginFields(login, password, name, 128)))) return false;
    for (;;) {
        auto header = ReadStream(20);
        if (!header) return false;
        const STestHeader h = DecodeHeader(header->data());
        if (!ReadStream(h.dataSize)) return false;
        if (h.isReply && h.id == id) return h.error == 0;
    }
}

}  // namespace kx::test
