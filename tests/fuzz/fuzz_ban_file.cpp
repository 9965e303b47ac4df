// Fuzz target: the permanent ban file "Banned". Whatever records are read are written back and
// must read back the same; a damaged file never yields more than the cap.
#include <span>
#include <vector>

#include "admin/ban_file.h"
#include "fuzz/targets.h"

namespace kx::fuzz {

int FuzzBanFile(const std::uint8_t* data, std::size_t size) {
    BanList list;
    const EBanFileRead r = UBanFile::Parse(std::span<const std::uint8_t>(data, size), list);
    KX_FUZZ_CHECK(list.size() <= kMaxPermBans);
    if (r != EBanFileRead::kRead && r != EBanFileRead::kDamaged) KX_FUZZ_CHECK(list.empty());
    for (const BanRecord& b : list) {
        KX_FUZZ_CHECK(b.psDateTime.View().size() <= 32 && b.description.View().size() <= 63);
        (void)b.IPrangeToString();
    }
    const std::vector<std::uint8_t> image = UBanFile::Build(list);
    BanList again;
    const EBanFileRead r2 = UBanFile::Parse(image, again);
    KX_FUZZ_CHECK(r2 == (list.empty() ? EBanFileRead::kCountZero : EBanFileRead::kRead));
    KX_FUZZ_CHECK(again == list);
    KX_FUZZ_CHECK(UBanFile::Build(again) == image);
    return 0;
}

}  // namespace kx::fuzz
