// The web client's files as built into the server program: generated at build time from
// src/web (cmake/embed_web.cmake writes web_assets.cpp into the build folder), so the program
// serves the page without any file beside it.
#pragma once

#include <cstddef>

namespace kx {

struct SWebAsset {
    const char* path;  // relative to src/web, e.g. "index.html"
    const unsigned char* data;
    std::size_t size;
};

extern const SWebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace kx
