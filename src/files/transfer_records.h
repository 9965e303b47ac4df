// The records of file transfers: a transfer connection that has not yet sent its header, a file
// download (active or queued), a banner download and a file upload, the wake-up times that make
// the transfers' time rules fire when the network is quiet, and SMyTransferLists, the one record
// of every transfer that the application owns (mTransfers). The code that serves them is in
// src/files/transfer_*.cpp and folder_*.cpp. Folder transfers add their own records beside these.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "files/folder_records.h"
#include "framework/event_loop.h"
#include "fs/flat_file.h"
#include "fs/fs_ref.h"
#include "net/transport.h"
#include "protocol/transfer_wire.h"

namespace kx {

struct SMyClient;

// Transfer time rules, in seconds.
inline constexpr std::uint32_t kTransferConnectWait = 500;  // record without a connection
inline constexpr std::uint32_t kUploadIdleWait = 120;       // upload without data
// A transfer connection that has not sent its 16-byte header after this long is closed; a
// silent socket must not stay on the establishment list for ever.
inline constexpr std::uint32_t kTransferHeaderWait = 60;

inline constexpr std::uint32_t kDownloadSendStart = 102400;   // first send window
inline constexpr std::uint32_t kDownloadSendStep = 102400;    // window growth
inline constexpr std::uint32_t kDownloadSendMax = 2097152;    // largest send window
inline constexpr std::size_t kTransferNameMax = 31;           // names kept in records

// What one step of a transfer pass decided about its record: kept for the next pass, or removed
// with the log line `text` (none when null).
struct SMyTransferVerdict {
    bool keep = true;
    const char* text = nullptr;

    static SMyTransferVerdict Keep() { return {}; }
    static SMyTransferVerdict Remove(const char* text) { return {false, text}; }
};

// A connection on mTransferEstabList. Built from a bare transport (the client listener hands
// sub-version 3 connections over this way), stamped with the time it arrived.
struct SMyTransferEstab {
    TTransport tpt;
    std::uint32_t acceptSecs = 0;
    std::uint32_t wakeSecs = 0;  // wake-up filed for its header time-out; 0 = none yet

    SMyTransferEstab(TTransport t);  // NOLINT: implicit on purpose (see above)
};

struct SMyDownloadData {
    TTransport tpt;                  // none until the client connects
    TFSRef file;                     // released once the last byte has been queued
    CFileDescriptor rawFile;         // plain mode: the file opened for reading
    std::uint32_t refNum = 0;        // lowest bit 1
    std::uint32_t startSecs = 0;     // creation; reset when it leaves the waiting queue
    std::uint32_t offset = 0;        // plain mode: next file offset
    std::uint32_t size = 0;          // total bytes to send
    std::uint32_t bytesSent = 0;
    std::uint32_t sendSize = kDownloadSendStart;
    std::uint32_t sendSecs = 0;
    SMyClient* client = nullptr;
    std::uint16_t clientID = 0;
    bool isRaw = false;
    std::string name;                // as requested, cut to 31 bytes
    std::uint32_t wakeSecs = 0;
};

// A queued download: a file download's record (bFileFolder true) or a folder download's.
struct SMyDownloadWaitingData {
    bool bFileFolder = true;
    std::uint32_t nWaitingCount = 0;  // the last position sent to the client
    std::unique_ptr<SMyDownloadData> pDownloadData;
    std::unique_ptr<SMyDownloadFldrData> pDownloadFldrData;
};

struct SMyDownloadBannerData {
    TTransport tpt;
    std::uint32_t refNum = 0;
    std::uint32_t startSecs = 0;
    std::uint32_t bytesSent = 0;
    SMyClient* client = nullptr;
    std::uint16_t clientID = 0;
    std::uint32_t wakeSecs = 0;
};

struct SMyUploadData {
    TTransport tpt;
    TFSRef file;                     // the partial file being written
    std::uint32_t refNum = 0;        // lowest bit 0
    std::uint32_t startSecs = 0;     // creation, then the time data last arrived
    std::uint32_t rcvdSize = 0;
    std::uint32_t totalSize = 0;
    SMyClient* client = nullptr;
    std::uint16_t clientID = 0;
    std::string name;                // final name, cut to 31 bytes
    std::uint32_t wakeSecs = 0;
};

// Wake-up times of the transfer time rules. A one-second timer asks for a processing pass when
// the earliest one has come; the pass itself decides what is due, and a record whose time rule
// moved later simply files a new wake-up when the old one fires. Stale entries (records gone)
// cost one extra pass at most. One entry per distinct second: every record filing its own would
// keep an entry for each transfer of the last 500 s (the connect wait), which under steady load
// is memory that grows with the request rate.
class CMyTransferWakeups {
public:
    explicit CMyTransferWakeups(std::function<void()> wake) : mWake(std::move(wake)) {}
    CMyTransferWakeups(const CMyTransferWakeups&) = delete;
    CMyTransferWakeups& operator=(const CMyTransferWakeups&) = delete;

    // Files a wake-up at `dueSecs` unless `*filed` (the record's) is still pending and no later
    // than that; updates `*filed`.
    void File(std::uint32_t dueSecs, std::uint32_t now, std::uint32_t* filed);
    void Clear() { mTimes.clear(); }
    std::size_t Size() const { return mTimes.size(); }

private:
    void OnTimer();

    std::function<void()> mWake;
    std::set<std::uint32_t> mTimes;
    CTimerSlot mTimer;
};

// Every transfer of the running server: the connections that have not sent their header yet,
// the six lists of transfer records (a queued download's record lives in its waiting record), and
// the wake-ups of their time rules. Owned by the application; the lists keep the order in which
// their records were created.
struct SMyTransferLists {
    explicit SMyTransferLists(std::function<void()> wake) : mWakeups(std::move(wake)) {}

    std::vector<SMyTransferEstab> mTransferEstabList;
    std::vector<std::unique_ptr<SMyDownloadData>> mDownloadList;
    std::vector<std::unique_ptr<SMyDownloadWaitingData>> mDownloadWaitingList;
    std::vector<std::unique_ptr<SMyDownloadBannerData>> mDownloadBannerList;
    std::vector<std::unique_ptr<SMyUploadData>> mUploadList;
    std::vector<std::unique_ptr<SMyDownloadFldrData>> mDownloadFldrList;
    std::vector<std::unique_ptr<SMyUploadFldrData>> mUploadFldrList;
    CMyTransferWakeups mWakeups;

    // Drops every record and connection (the server reset); partial uploads stay on disk, to be
    // resumed.
    void Clear();
};

namespace UMyTransfer {
// Replaces the free-space query of the upload request (null restores UFileSys::GetFreeSpace).
// For tests, which cannot fill a real volume.
void SetFreeSpaceSource(std::function<std::optional<std::uint64_t>(const TFSRefObj&)> source);
}  // namespace UMyTransfer

}  // namespace kx
