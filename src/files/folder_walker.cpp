// The folder walker of folder downloads: built once at the request, it fixes which items of the
// tree are sent and in what order (pre-order, each sub-folder before its contents) and counts
// them. Every item is identified by its real path so that an alias pointing back into the tree,
// or a second alias to the same item, cannot make the walk endless or send a thing twice.
#include <climits>
#include <cstdlib>

#include "files/file_tree.h"
#include "files/folder_records.h"
#include "framework/error.h"
#include "fs/file_types.h"
#include "fs/fs_listing.h"

namespace kx {

namespace {

// The path with every link followed, or empty when it cannot be told.
std::string RealPath(const TFSRefObj& ref) {
    char buf[PATH_MAX];
    if (::realpath(ref.GetPath().c_str(), buf) == nullptr) return std::string();
    return std::string(buf);
}

}  // namespace

CMyDLFldr::CMyDLFldr(TFSRef ref, std::string name, CMyDLFldr* parent, bool viewDropBoxes, const TFSRefObj* root)
    : mRef(std::move(ref)), mName(std::move(name)), mParent(parent) {
    CMyDLFldr* top = this;
    while (top->mParent) top = top->mParent;
    if (!mParent) {
        const std::string self = RealPath(*mRef);
        if (!self.empty()) mSeen.insert(self);
    }

    TFSList list = UFileSys::GetListing(*mRef);
    SFSListItem entry;
    while (UFileSys::GetListNext(*list, entry)) {
        if (!viewDropBoxes && UFileTree::IsDropBoxName(entry.name)) continue;
        CMyDLItem& item = mItems.emplace_back();
        item.mName = entry.name;
        const bool isFolder = entry.typeCode == MakeCode("fldr");
        TFSRef found;
        try {
            found = UFileSys::New(*mRef, std::string_view(), entry.name,
                                  fsOption_ResolveAliases | fsOption_NilIfNotExists |
                                      (isFolder ? fsOption_NilIfNotFolder : fsOption_NilIfNotFile));
        } catch (const SError&) {
            found.reset();  // an alias whose target is gone, a name the disk refuses: left out
        }
        if (!found) continue;
        if (!viewDropBoxes && root && UFileTree::IsInDropBox(*root, *found, std::string())) continue;
        const std::string real = RealPath(*found);
        if (real.empty() || !top->mSeen.insert(real).second) continue;  // already in the tree
        if (isFolder) {
            try {
                item.mFldr = std::make_unique<CMyDLFldr>(std::move(found), entry.name, this, viewDropBoxes, root);
            } catch (const SError&) {
                item.mFldr.reset();  // a folder that cannot be listed contributes nothing
            }
        } else {
            item.mFile = std::move(found);
        }
    }
}

std::uint32_t CMyDLFldr::GetTotalItems() const {
    std::uint32_t n = 1;
    for (const CMyDLItem& item : mItems) {
        if (item.mFldr) n += item.mFldr->GetTotalItems();
        else if (item.mFile) ++n;
    }
    return n;
}

std::uint64_t CMyDLFldr::GetTotalSize() const {
    std::uint64_t total = 0;
    for (const CMyDLItem& item : mItems) {
        if (item.mFldr) {
            total += item.mFldr->GetTotalSize();
        } else if (item.mFile) {
            try {
                total += UFileSys::GetSize(*item.mFile);
            } catch (const SError&) {
                // Unreadable now: it counts nothing, and fails when its turn comes.
            }
        }
    }
    return total;
}

bool CMyDLFldr::GetNextItem(SMyDLNext& out) {
    std::vector<std::string> path;
    return GetNextItem(out, path, 2);  // the component count comes first
}

bool CMyDLFldr::GetNextItem(SMyDLNext& out, std::vector<std::string>& path, std::size_t used) {
    path.push_back(mName);
    used += mName.size() + 3;
    struct SPop {
        std::vector<std::string>& p;
        ~SPop() { p.pop_back(); }
    } pop{path};

    auto result = [&](const TFSRefObj* ref, bool isFolder, std::size_t size) {
        out.ref = ref;
        out.isFolder = isFolder;
        out.pathOverflow = size > kFldrPathBuffer;
        out.pathSize = size;
        out.path = path;
    };
    if (mCurrentItem == 0) {
        mCurrentItem = 1;
        result(mRef.get(), true, used);
        return true;
    }
    while (mCurrentItem - 1 < mItems.size()) {
        CMyDLItem& item = mItems[mCurrentItem - 1];
        if (item.mFile && !item.mIsDone) {
            item.mIsDone = true;
            path.push_back(item.mName);
            result(item.mFile.get(), false, used + item.mName.size() + 3);
            path.pop_back();
            return true;
        }
        if (item.mFldr && item.mFldr->GetNextItem(out, path, used)) return true;
        ++mCurrentItem;
    }
    return false;
}

}  // namespace kx
