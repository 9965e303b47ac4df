// Fuzz target: the client frames a WebSocket connection of the web listener reads. Byte 0 sets
// the size of each arrival (0: all at once), the rest is what the peer sends; small limits make
// the size and fragment caps reachable.
#include <algorithm>
#include <vector>

#include "fuzz/targets.h"
#include "net/websocket_frame.h"

namespace kx::fuzz {

namespace {

struct SWsRun {
    std::vector<std::uint8_t> out;
    std::uint16_t failure = 0;
    std::size_t controls = 0;
};

SWsRun ReadFrames(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    CWebSocketReader reader(SWsLimits{4096, 8192, 16});
    SWsRun run;
    std::size_t consumed = 0;
    for (std::size_t at = 0; at < size && reader.Failure() == 0;) {
        const std::size_t n = std::min(piece, size - at);
        const std::size_t before = run.out.size();
        const std::size_t used = reader.Read(data + at, n, run.out);
        KX_FUZZ_CHECK(used <= n);
        KX_FUZZ_CHECK(run.out.size() - before <= used);  // never more payload than bytes read
        // Only a control frame or a fault stops a read early.
        KX_FUZZ_CHECK(used == n || reader.HasControl() || reader.Failure() != 0);
        if (reader.HasControl()) {
            KX_FUZZ_CHECK(reader.ControlPayload().size() <= kWsMaxControlPayload);
            KX_FUZZ_CHECK(reader.ControlOpcode() == kWsOpClose || reader.ControlOpcode() == kWsOpPing ||
                          reader.ControlOpcode() == kWsOpPong);
            reader.ClearControl();
            ++run.controls;
        }
        consumed += used;
        at += used;
    }
    KX_FUZZ_CHECK(run.out.size() <= consumed);
    run.failure = reader.Failure();
    if (run.failure != 0) {
        std::vector<std::uint8_t> more;
        KX_FUZZ_CHECK(reader.Read(data, size, more) == 0 && more.empty());  // a failed reader stays failed
    }
    return run;
}

}  // namespace

int FuzzWebSocket(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] == 0 ? size : data[0];
    const SWsRun split = ReadFrames(data + 1, size - 1, piece);
    // How the bytes arrive changes nothing: the same payload, control frames and verdict.
    const SWsRun whole = ReadFrames(data + 1, size - 1, size);
    KX_FUZZ_CHECK(split.out == whole.out);
    KX_FUZZ_CHECK(split.failure == whole.failure);
    KX_FUZZ_CHECK(split.controls == whole.controls);
    return 0;
}

}  // namespace kx::fuzz
