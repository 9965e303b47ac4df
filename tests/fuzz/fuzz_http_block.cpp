// Fuzz target: the tunnel's incoming block stream. Input: a byte giving how many of the stream's
// bytes were read ahead with the request header (served from the pending buffer), a byte giving
// the size of each later arrival (0: all at once), then the stream. The stream is read as the
// tunnel reads its POST channel, and once more by the take-over of a dropped channel; both must
// deliver exactly the data payloads a plain walk over the bytes finds.
#include <algorithm>
#include <memory>
#include <vector>

#include "framework/byte_codec.h"
#include "fuzz/targets.h"
#include "net/http_block.h"
#include "support/fake_transport.h"

namespace kx::fuzz {

namespace {

// The data payloads of the stream up to its end or to the first block the reader refuses.
std::vector<std::uint8_t> ReferenceData(const std::uint8_t* p, std::size_t size) {
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    while (size - at >= kHttpBlockHeaderSize) {
        const std::uint32_t code = GetBE32(p + at);
        const std::uint32_t len = GetBE32(p + at + 4);
        at += kHttpBlockHeaderSize;
        if (code == kHttpBlockData) {
            if (len > kHttpMaxDataBlock) break;
            const std::size_t n = std::min<std::size_t>(len, size - at);
            out.insert(out.end(), p + at, p + at + n);
            at += n;
        } else if (code == kHttpBlockPadding) {
            if (len > kHttpMaxPaddingBlock) break;
            at += std::min<std::size_t>(len, size - at);
        } else {
            break;
        }
    }
    return out;
}

}  // namespace

int FuzzHttpBlock(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t* stream = data + 2;
    const std::size_t streamSize = size - 2;
    const std::size_t pendingSize = std::min<std::size_t>(data[0], streamSize);
    const std::size_t piece = data[1] == 0 ? streamSize : data[1];
    const std::vector<std::uint8_t> expected = ReferenceData(stream, streamSize);

    // The tunnel's reading: headers, data payloads in small reads, padding skipped.
    {
        test::CFakeTransport ep;
        CHttpBlockInput in;
        in.SetPending(std::vector<std::uint8_t>(stream, stream + pendingSize));
        std::vector<std::uint8_t> got;
        std::size_t at = pendingSize;
        bool stopped = false;
        for (;;) {
            for (int blocks = 0; blocks < 100000 && !stopped; ++blocks) {
                if (in.HasBlock()) {
                    if (in.Code() == kHttpBlockData) {
                        const std::uint32_t avail = in.PayloadAvailable(ep);
                        KX_FUZZ_CHECK(avail <= in.Remaining());
                        if (in.Remaining() == 0) {
                            in.EndBlock();
                            continue;
                        }
                        if (avail == 0) {
                            KX_FUZZ_CHECK(!in.IsReady(ep, 1));
                            break;
                        }
                        KX_FUZZ_CHECK(in.IsReady(ep, std::min<std::uint32_t>(avail, 3)));
                        std::uint8_t buf[5];
                        const std::uint32_t n = in.ReadPayload(ep, buf, sizeof buf);
                        KX_FUZZ_CHECK(n == std::min<std::uint32_t>(avail, sizeof buf));
                        got.insert(got.end(), buf, buf + n);
                        continue;
                    }
                    if (!in.SkipPayload(ep)) break;
                    in.EndBlock();
                    continue;
                }
                const CHttpBlockInput::EStep step = in.ReadHeader(ep);
                if (step == CHttpBlockInput::EStep::kWait) break;
                if (step == CHttpBlockInput::EStep::kBad ||
                    (in.Code() != kHttpBlockData && in.Code() != kHttpBlockPadding)) {
                    stopped = true;
                }
            }
            if (stopped || at >= streamSize) break;
            const std::size_t n = std::min(piece, streamSize - at);
            ep.Feed(stream + at, n);
            at += n;
        }
        KX_FUZZ_CHECK(got == expected);
    }

    // A dropped channel's stream taken over at once.
    {
        test::CFakeTransport ep;
        CHttpBlockInput in;
        in.SetPending(std::vector<std::uint8_t>(stream, stream + pendingSize));
        ep.Feed(stream + pendingSize, streamSize - pendingSize);
        std::vector<std::uint8_t> out;
        (void)in.TakeOver(ep, out, 1u << 20);
        KX_FUZZ_CHECK(out == expected);
    }
    return 0;
}

}  // namespace kx::fuzz
