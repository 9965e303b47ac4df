// The extension table of file type and creator codes (see file_types.h).
#include "fs/file_types.h"

#include <array>

namespace kx::UFileTypes {

namespace {

struct SExtensionRow {
    const char* ext;  // upper case
    std::uint32_t type;
    std::uint32_t creator;
};

constexpr std::array kRows = {
    SExtensionRow{"3DM", MakeCode("3DMF"), MakeCode("TVOD")}, SExtensionRow{"QD3", MakeCode("3DMF"), MakeCode("TVOD")},
    SExtensionRow{"AIF", MakeCode("AIFF"), MakeCode("TVOD")}, SExtensionRow{"AU", MakeCode("ULAW"), MakeCode("TVOD")},
    SExtensionRow{"SND", MakeCode("ULAW"), MakeCode("TVOD")}, SExtensionRow{"ULW", MakeCode("ULAW"), MakeCode("TVOD")},
    SExtensionRow{"AVI", MakeCode("VfW "), MakeCode("TVOD")}, SExtensionRow{"BMP", MakeCode("BMP "), MakeCode("GKON")},
    SExtensionRow{"DIB", MakeCode("BMP "), MakeCode("GKON")}, SExtensionRow{"C", MakeCode("TEXT"), MakeCode("CWIE")},
    SExtensionRow{"CP", MakeCode("TEXT"), MakeCode("CWIE")},  SExtensionRow{"CPP", MakeCode("TEXT"), MakeCode("CWIE")},
    SExtensionRow{"H", MakeCode("TEXT"), MakeCode("CWIE")},   SExtensionRow{"HPP", MakeCode("TEXT"), MakeCode("CWIE")},
    SExtensionRow{"DAT", MakeCode("BINA"), MakeCode("hDmp")}, SExtensionRow{"DIF", MakeCode("dvc!"), MakeCode("TVOD")},
    SExtensionRow{"DV", MakeCode("dvc!"), MakeCode("TVOD")},  SExtensionRow{"DOC", MakeCode("W6BN"), MakeCode("MSWD")},
    SExtensionRow{"EXE", MakeCode("DEXE"), MakeCode("CWIE")}, SExtensionRow{"FLC", MakeCode("FLI "), MakeCode("TVOD")},
    SExtensionRow{"FLI", MakeCode("FLI "), MakeCode("TVOD")}, SExtensionRow{"FPX", MakeCode("FPix"), MakeCode("TVOD")},
    SExtensionRow{"GIF", MakeCode("GIFf"), MakeCode("GKON")}, SExtensionRow{"KBM", MakeCode("KXbm"), MakeCode("KXLC")},
    SExtensionRow{"KNZ", MakeCode("KXNZ"), MakeCode("KXLC")}, SExtensionRow{"KPF", MakeCode("KXft"), MakeCode("KXLC")},
    SExtensionRow{"JPG", MakeCode("JPEG"), MakeCode("GKON")}, SExtensionRow{"KAR", MakeCode("MiDi"), MakeCode("TVOD")},
    SExtensionRow{"MID", MakeCode("MiDi"), MakeCode("TVOD")}, SExtensionRow{"SMF", MakeCode("MiDi"), MakeCode("TVOD")},
    SExtensionRow{"MAC", MakeCode("PNTG"), MakeCode("TVOD")}, SExtensionRow{"PNT", MakeCode("PNTG"), MakeCode("TVOD")},
    SExtensionRow{"MOV", MakeCode("MooV"), MakeCode("TVOD")}, SExtensionRow{"QT", MakeCode("MooV"), MakeCode("TVOD")},
    SExtensionRow{"MP2", MakeCode("MPEG"), MakeCode("TVOD")}, SExtensionRow{"MPA", MakeCode("MPEG"), MakeCode("TVOD")},
    SExtensionRow{"MPG", MakeCode("MPEG"), MakeCode("TVOD")}, SExtensionRow{"MP3", MakeCode("MP3 "), MakeCode("MAmp")},
    SExtensionRow{"PCT", MakeCode("PICT"), MakeCode("GKON")}, SExtensionRow{"PNG", MakeCode("PNGf"), MakeCode("TVOD")},
    SExtensionRow{"PSD", MakeCode("8BPS"), MakeCode("TVOD")}, SExtensionRow{"RA", MakeCode("RAE "), MakeCode("REAL")},
    SExtensionRow{"RAE", MakeCode("RAE "), MakeCode("REAL")}, SExtensionRow{"RAM", MakeCode("RAE "), MakeCode("REAL")},
    SExtensionRow{"RM", MakeCode("RAE "), MakeCode("REAL")},  SExtensionRow{"SD2", MakeCode("Sd2f"), MakeCode("TVOD")},
    SExtensionRow{"SGI", MakeCode("SGI "), MakeCode("TVOD")}, SExtensionRow{"SIT", MakeCode("SITD"), MakeCode("SIT!")},
    SExtensionRow{"SWF", MakeCode("SWFL"), MakeCode("SWF2")}, SExtensionRow{"TGA", MakeCode("TPIC"), MakeCode("TVOD")},
    SExtensionRow{"TIF", MakeCode("TIFF"), MakeCode("GKON")}, SExtensionRow{"TXT", MakeCode("TEXT"), MakeCode("ttxt")},
    SExtensionRow{"WAV", MakeCode("WAVE"), MakeCode("TVOD")}, SExtensionRow{"ZIP", MakeCode("ZIP "), MakeCode("ZIP ")},
};

}  // namespace

void GetCodes(std::string_view name, std::uint32_t& outType, std::uint32_t& outCreator) {
    outType = kTypeDefault;
    outCreator = kCreatorDefault;
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return;
    const std::string_view ext = name.substr(dot + 1);
    if (ext.empty() || ext.size() > 3) return;
    char upper[4] = {};
    for (std::size_t i = 0; i < ext.size(); ++i) {
        const char c = ext[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view key(upper, ext.size());
    for (const auto& row : kRows) {
        if (key == row.ext) {
            outType = row.type;
            outCreator = row.creator;
            return;
        }
    }
}

}  // namespace kx::UFileTypes
