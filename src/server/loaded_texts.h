// The texts the server loads from its folder and hands to clients: the message board
// ("MessageBoard.txt", message_board.cpp) and the agreement with the banner ("Agreement.txt" and
// the banner file or URL, agreement.cpp). One record each, owned by the application; loaded at
// start-up and on the operator's reload.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct SMyMessageBoard {
    std::vector<std::uint8_t> mMsgData;  // the board text, newest post first, as in the file
    bool loaded = false;                 // false: the file could not be read; posts are refused
};

struct SMyAgreement {
    std::optional<std::string> mServerAgreement;
    std::optional<std::vector<std::uint8_t>> mServerBanner;  // a local banner picture
    std::uint32_t mServerBannerType = 0;                     // four-character code; 0 = no banner
    std::optional<std::string> mServerBannerUrl;
};

}  // namespace kx
