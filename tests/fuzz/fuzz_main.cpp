// The libFuzzer entry of one target; the build compiles this file once per target with
// KX_FUZZ_ENTRY naming the target's function.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

#ifndef KX_FUZZ_ENTRY
#error "KX_FUZZ_ENTRY must name the target's entry function"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return kx::fuzz::KX_FUZZ_ENTRY(data, size);
}
