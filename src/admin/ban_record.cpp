// Date text of a ban record.
#include "admin/ban_record.h"

#include <ctime>

#include "framework/clock.h"

namespace kx {

std::string MakeBanDateText() {
    const std::time_t now = UClock::WallTime();
    std::tm tm{};
    if (!localtime_r(&now, &tm)) return {};
    char buf[40];
    const std::size_t n = std::strftime(buf, sizeof buf, "%m/%d/%Y %H:%M:%S", &tm);
    return std::string(buf, n);
}

}  // namespace kx
