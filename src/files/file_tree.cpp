// The client's view of the shared tree (see file_tree.h): item look-up, drop boxes and upload
// folders, the file list reply and the code descriptions.
#include <algorithm>

#include "files/file_tree.h"
#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/file_path.h"
#include "fs/file_types.h"
#include "fs/fs_listing.h"
#include "protocol/transaction_types.h"

namespace kx::UFileTree {

namespace {

bool ContainsFolded(std::string_view name, std::string_view lowerNeedle) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower.find(lowerNeedle) != std::string::npos;
}

}  // namespace

std::string ReadNameField(TFieldDataObj fields, std::uint16_t id) {
    std::string name = UFieldData::GetString(fields, id);
    if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
    return name;
}

std::string ReadPathField(TFieldDataObj fields, std::uint16_t id) {
    std::string path = UFieldData::GetString(fields, id);
    if (path.size() > kMaxPathData) path.resize(kMaxPathData);
    return path;
}

bool IsClientRoot(const TFSRefObj& ref, const TFSRefObj& root) { return UFileSys::Equals(ref, root); }

TFSRef LookUpClientItem(const TFSRefObj& root, const std::string& pathData, std::string_view name,
                        std::uint32_t options, int* outKind) {
    try {
        return UFileSys::New(root, pathData.data(), pathData.size(), name, options, outKind);
    } catch (const SError& err) {
        if (err.type != kErrClassFileSys || (err.id != kErrInvalidName && err.id != kErrNameTooLong)) throw;
        if (outKind) *outKind = fsItem_Missing;
        return nullptr;
    }
}

TFSRef ResolveTarget(const TFSRef& item, int& kind) {
    if (!item) return nullptr;
    TFSRef target = UFileSys::Clone(*item);
    UFileSys::ResolveAlias(*target, &kind);
    return target;
}

bool IsDropBoxName(std::string_view name) { return ContainsFolded(name, "drop box"); }

bool IsUploadFolderName(std::string_view name) { return ContainsFolded(name, "upload"); }

bool IsInDropBox(const TFSRefObj& root, const TFSRefObj& folder, const std::string& pathData) {
    for (const auto& comp : UFilePath::Parse(pathData.data(), pathData.size()))
        if (IsDropBoxName(comp.name)) return true;
    if (IsDropBoxName(UFileSys::GetName(folder))) return true;
    // Folders on disk from the deepest folder that the root and the folder share down to the
    // folder (names there are UTF-8, but the test only looks for ASCII). Below the root that is
    // the stretch under the root; an alias whose target lies outside the root (reached through a
    // link the operator placed) has everything it does not share with the root tested.
    const std::string& rootPath = root.GetPath();
    const std::string& path = folder.GetPath();
    std::size_t shared = 0;
    for (std::size_t i = 0;; ++i) {
        const bool rootEnd = i == rootPath.size();
        const bool pathEnd = i == path.size();
        if ((rootEnd || rootPath[i] == '/') && (pathEnd || path[i] == '/')) shared = i;
        if (rootEnd || pathEnd || rootPath[i] != path[i]) break;
    }
    std::string_view rest = std::string_view(path).substr(shared);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        if (IsDropBoxName(rest.substr(0, slash))) return true;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return false;
}

void BuildFileList(const TFSRefObj& folder, bool dropBoxOnly, TFieldDataObj fields) {
    UFieldData::DeleteAllFields(fields);
    TFSList list = UFileSys::GetListing(folder);
    SFSListItem item;
    while (UFileSys::GetListNext(*list, item)) {
        if (item.flags & kFSListFlagInvisible) continue;
        if (dropBoxOnly && item.typeCode != kTypePartial) continue;
        const auto entry = UFileSys::EncodeFileInfo(item);
        UFieldData::AddField(fields, kFieldFileNameWithInfo, entry.data(), static_cast<std::uint32_t>(entry.size()));
    }
}

std::string CodeBytes(std::uint32_t code) {
    std::uint8_t b[4];
    PutBE32(b, code);
    return std::string(reinterpret_cast<const char*>(b), 4);
}

std::string FileTypeDescription(std::uint32_t type, bool isAlias) {
    if (isAlias) return CodeBytes(type) + " (alias)";
    switch (type) {
        case MakeCode("KXft"): return "Incomplete File";
        case MakeCode("KXbm"): return "Kestrix Bookmark";
        case MakeCode("SITD"): return "StuffIt Archive";
        case MakeCode("TEXT"): return "Text File";
        case MakeCode("APPL"): return "Application Program";
        default: return CodeBytes(type);
    }
}

std::string FileCreatorDescription(std::uint32_t creator) {
    switch (creator) {
        case MakeCode("KXLC"):
        case MakeCode("KXLS"): return "Kestrix";
        case MakeCode("SIT!"): return "StuffIt";
        case MakeCode("ttxt"): return "SimpleText";
        default: return CodeBytes(creator);
    }
}

}  // namespace kx::UFileTree
