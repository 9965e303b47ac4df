// The records of folder transfers: the folder walker that decides, once at the request, which
// items of a tree a download sends and in what order, the folder download record (active or
// queued beside file downloads) and the folder upload record, and the codes of the item-by-item
// dialogue on the transfer connection. The code that serves them is in src/files/folder_*.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "framework/error.h"
#include "fs/fs_ref.h"
#include "net/transport.h"
#include "protocol/transfer_wire.h"

namespace kx {

struct SMyClient;

// Item paths are built in a buffer of this size; an item whose path does not fit with
// kFldrPathSpare bytes to spare is left out of the walk.
inline constexpr std::size_t kFldrPathBuffer = 1024;
inline constexpr std::size_t kFldrPathSpare = 6;

// Results of one step of a folder transfer's dialogue.
inline constexpr int kFldrStepWait = 0;
inline constexpr int kFldrStepMoved = 1;
inline constexpr int kFldrStepEnded = 2;

class CMyDLFldr;

// One entry of a walked folder: a file, a sub-folder's walker, or neither (left out).
struct CMyDLItem {
    std::string mName;               // the entry's name as listed (an alias keeps its own name)
    TFSRef mFile;
    bool mIsDone = false;
    std::unique_ptr<CMyDLFldr> mFldr;
};

// What one GetNextItem call returns.
struct SMyDLNext {
    const TFSRefObj* ref = nullptr;  // owned by the walker
    bool isFolder = false;
    bool pathOverflow = false;       // the path did not fit the buffer
    std::size_t pathSize = 0;        // bytes the path takes in the buffer
    std::vector<std::string> path;   // from the top folder's own name down to the item
};

// One folder of a download tree. Built once; holds one reference per item and reads no file.
class CMyDLFldr {
public:
    // Lists `ref` and builds the walkers of its sub-folders. `name` is the folder's name as the
    // client knows it. Without `viewDropBoxes`, entries whose names hold "drop box" are left
    // out, and so are aliases whose targets lie in a drop box below `root` (the client's files
    // root, used during construction only): an alias must not open what its target's own path
    // would refuse. An entry that is already part of the tree (an alias to an enclosing folder,
    // a second alias to the same thing) or cannot be found contributes nothing.
    CMyDLFldr(TFSRef ref, std::string name, CMyDLFldr* parent, bool viewDropBoxes, const TFSRefObj* root = nullptr);
    CMyDLFldr(const CMyDLFldr&) = delete;
    CMyDLFldr& operator=(const CMyDLFldr&) = delete;

    // 1 (the folder itself) plus every file and folder below it.
    std::uint32_t GetTotalItems() const;
    // The sum of the lengths of the files below it.
    std::uint64_t GetTotalSize() const;
    // Pre-order: the folder itself first, then each item (a sub-folder before its contents).
    // False when the walk is over.
    bool GetNextItem(SMyDLNext& out);

private:
    bool GetNextItem(SMyDLNext& out, std::vector<std::string>& path, std::size_t used);

    TFSRef mRef;
    std::string mName;
    CMyDLFldr* mParent = nullptr;
    std::uint32_t mCurrentItem = 0;
    std::vector<CMyDLItem> mItems;
    // Real paths of everything in the tree so far; kept by the top walker only.
    std::unordered_set<std::string> mSeen;
};

struct SMyDownloadFldrData {
    TTransport tpt;
    std::unique_ptr<CMyDLFldr> fldr;
    TFSRef file;                     // the file announced or being sent
    std::uint32_t refNum = 0;        // lowest bit 1
    std::uint32_t startSecs = 0;     // creation; reset when it leaves the waiting queue
    std::uint32_t totalSize = 0;
    std::uint32_t totalBytesSent = 0;
    std::uint32_t size = 0;          // flattened length of the current file
    std::uint32_t bytesSent = 0;
    std::uint32_t sendSize = 102400;
    std::uint32_t sendSecs = 0;
    SMyClient* client = nullptr;
    std::uint16_t clientID = 0;
    std::uint16_t count = 0;
    std::uint16_t state = 0;
    std::uint16_t resumeHdrSize = 0;
    std::string name;                // as requested, cut to 31 bytes
    std::uint32_t wakeSecs = 0;
};

struct SMyUploadFldrData {
    TTransport tpt;
    TFSRef fldr;                     // the uploaded folder
    std::string fldrRealPath;        // its real path: no item may land outside it
    TFSRef file;                     // the item being received
    std::uint32_t refNum = 0;        // lowest bit 0
    std::uint32_t startSecs = 0;     // creation, then the time data last arrived
    std::uint32_t rcvdSize = 0;
    std::uint32_t totalSize = 0;
    std::uint32_t totalItems = 0;
    std::uint32_t uploadedItems = 0;
    std::uint32_t fileTotalSize = 0;
    std::uint32_t fileUlSize = 0;
    std::uint32_t headerSize = 0;
    SMyClient* client = nullptr;
    std::uint16_t clientID = 0;
    std::uint16_t state = 0;
    std::string name;                // cut to 31 bytes
    std::uint32_t wakeSecs = 0;
};

// One step of a folder transfer's dialogue on the record's connection, which must be attached.
// kFldrStepWait: needs more bytes; kFldrStepMoved: go on; kFldrStepEnded: the transfer is over
// and the record is to be removed (`failedLast`: the last upload item failed). They use nothing
// but the record and the disk, so the passes and the robustness tests drive the same code.
// They raise when a file cannot be read or written or a flattened stream is damaged; an upload
// item that arrived whole but could not be given its final name goes to `reportError` instead.
namespace UMyFldrTransfer {
using TFldrErrorSink = std::function<void(const SError&)>;
int StepFldrDownload(SMyDownloadFldrData* d, std::uint32_t now);
int StepFldrUpload(SMyUploadFldrData* u, std::uint32_t now, bool& failedLast, const TFldrErrorSink& reportError);
}  // namespace UMyFldrTransfer

}  // namespace kx
