// UTransport: start-up of the transport layer, the factory that picks an endpoint's kind, and
// the transport buffers handed to SendBuffer.
#include <unistd.h>

#include <cstring>

#include "framework/byte_codec.h"
#include "framework/error.h"
#include "net/http_transport.h"
#include "net/regular_transport.h"
#include "net/send_queue.h"
#include "net/transport.h"

namespace kx {

SSendFileRange::~SSendFileRange() {
    if (fd >= 0) ::close(fd);
}

void TTransportObj::SendFile(int, std::uint64_t, std::uint32_t) { KX_FAIL_PARAM(); }

void TTransportObj::SendShared(const std::uint8_t* prefix, std::uint32_t prefixSize, const TSharedBlock& block) {
    TTransportBuffer buf = NewBuffer(prefixSize + block.Size());
    if (prefixSize != 0) std::memcpy(buf->data.data(), prefix, prefixSize);
    if (block.Size() != 0) std::memcpy(buf->data.data() + prefixSize, block.Data(), block.Size());
    SendBuffer(std::move(buf));
}

void TTransportObj::SendNumbered(const TSharedBlock& block, std::uint32_t first) {
    std::uint32_t head = 0;
    while (head + CSendQueue::kNumberedHead <= block.Size()) {
        const std::uint64_t size =
            std::uint64_t(CSendQueue::kNumberedHead) + GetBE32(block.Data() + head + CSendQueue::kNumberedLengthAt);
        if (head + size > block.Size()) KX_FAIL_PARAM();
        TTransportBuffer buf = NewBuffer(static_cast<std::uint32_t>(size));
        CSendQueue::CopyNumbered(buf->data.data(), block, head, static_cast<std::uint32_t>(size), first);
        SendBuffer(std::move(buf));
        head += static_cast<std::uint32_t>(size);
    }
}

TTransportBuffer TTransportObj::NewBuffer(std::uint32_t size) {
    auto buf = std::make_unique<SSendBuf>();
    buf->data.resize(size);
    return buf;
}

namespace UTransport {

void Init() {
    static bool initialised = false;
    if (initialised) return;
    initialised = true;
    // Notices are delivered by the application thread's loop; create it on this thread now.
    CEventLoop::Get();
    // Sends use MSG_NOSIGNAL, so no signal disposition needs changing here.
}

bool HasTCP() { return true; }

TTransport New(std::uint32_t protocol, bool regular, std::uint32_t /*options*/) {
    if (protocol != kTransportStream && protocol != kTransportDatagram) KX_FAIL(kErrClassNetwork, kErrBadProtocol);
    if (!regular) return UHttpTransport::New(protocol);
    return std::make_unique<TRegularTransportObj>(protocol == kTransportStream);
}

}  // namespace UTransport

}  // namespace kx
