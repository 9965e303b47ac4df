// File and folder transfers of the command-line client: the transfer connection (opened in one
// place, so another carrier can be plugged in), the waiting-queue messages and the rate limit
// that every transfer shares, the progress display, and the local side of the transfers
// (partial ".kpf" files that a later run resumes).
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/client_connection.h"
#include "client/client_options.h"
#include "framework/byte_codec.h"
#include "framework/error.h"
#include "fs/fs_ref.h"
#include "protocol/transfer_wire.h"

namespace kx {

class CClientLink;

// The reference number as the server gave it (4 bytes, echoed unchanged).
struct SRefNum {
    std::uint8_t bytes[4] = {};
    std::uint32_t Value() const { return GetLE32(bytes); }
};
// The reference number of a transfer reply; a reply without one is a damaged reply.
SRefNum RefNumOf(const SClientTran& reply);

// Progress of one transfer on standard error: a bar with the rate and the time left when it is
// a terminal, otherwise a plain line now and then (every 10 % and at most every 2 seconds).
class CTransferProgress {
public:
    CTransferProgress(std::ostream& err, std::string label, std::uint64_t total, bool terminal);
    void SetTotal(std::uint64_t total) { mTotal = total; }
    // Bytes that count as done without being transferred (a resumed or skipped part).
    void AddSkipped(std::uint64_t bytes) { mDone += bytes; }
    void Add(std::uint64_t bytes);
    // The position in the server's download queue (0: the download starts).
    void Queued(std::uint32_t position);
    void Finish();

private:
    void Draw(bool force);

    std::ostream& mErr;
    std::string mLabel;
    std::uint64_t mTotal;
    std::uint64_t mDone = 0;
    std::uint64_t mMoved = 0;  // transferred in this run, for the rate
    bool mTerminal;
    bool mDrawn = false;
    int mLastTenth = -1;
    std::chrono::steady_clock::time_point mStart, mLastDraw;
};

// Sleeps so that the bytes moved stay within `rate` bytes per second (0: no limit).
class CRateLimiter {
public:
    explicit CRateLimiter(std::uint64_t rate);
    // The largest piece to move at once.
    std::size_t Chunk(std::size_t max) const;
    void Moved(std::size_t bytes);

private:
    std::uint64_t mRate;
    std::uint64_t mBytes = 0;
    std::chrono::steady_clock::time_point mStart;
};

// A connected transfer connection: a byte stream in both directions over a socket. The tunnel's
// channel derives from it and is returned by OpenTransferChannel when the options ask for it.
class CTransferChannel {
public:
    explicit CTransferChannel(int fd) : mFd(fd) {}
    virtual ~CTransferChannel();
    CTransferChannel(const CTransferChannel&) = delete;
    CTransferChannel& operator=(const CTransferChannel&) = delete;
    // Readable when received bytes wait (polled beside the transaction connection).
    virtual int Fd() const { return mFd; }
    // True when a ReadSome would not wait although poll on Fd() may not say so: bytes (or the
    // server's close) are already held here.
    virtual bool HasBuffered() { return false; }
    virtual void SendAll(const std::uint8_t* data, std::size_t size);
    // Reads what is there (at most `size`) once Fd() was found readable or HasBuffered() is
    // true; 0 when the server closed the connection, nothing when what arrived carried no data.
    virtual std::optional<std::size_t> ReadSome(std::uint8_t* data, std::size_t size);

protected:
    int mFd;
};

// Opens the transfer connection for a transfer the server prepared and sends its header. The
// only place that knows how the connection is carried: plain TCP to the base port + 1, or with
// --tunnel the HTTP tunnel to the base port + 3.
std::unique_ptr<CTransferChannel> OpenTransferChannel(const SClientOptions& opt, const SRefNum& ref,
                                                      std::uint32_t dataSize, std::uint16_t type);

// One transfer in progress: its connection, the transaction connection beside it (read while
// waiting, for the queue position and to keep it drained), the rate limit and the progress.
class CTransferLink {
public:
    CTransferLink(CClientConnection& conn, std::unique_ptr<CTransferChannel> channel, const SRefNum& ref,
                  std::uint64_t rate, CTransferProgress& progress);
    // Whether the download waits in the server's queue (then no silence limit applies).
    void SetQueuePosition(std::uint32_t position);
    // Reads up to `size` bytes, at least one; 0 when the connection ended.
    std::size_t Read(std::uint8_t* data, std::size_t size);
    void ReadExact(std::uint8_t* data, std::size_t size);
    // False when the connection ended before the first byte.
    bool ReadExactOrEnd(std::uint8_t* data, std::size_t size);
    std::uint16_t ReadAction();
    // Sends, within the rate limit.
    void Write(const std::uint8_t* data, std::size_t size);
    void WriteAction(std::uint16_t action);
    // Waits until the server closes the connection (what it still sends is read and dropped).
    void WaitForEnd();
    // Download data counts toward the rate limit as it is read.
    CRateLimiter& Limiter() { return mLimiter; }
    CTransferProgress& Progress() { return mProgress; }

private:
    // Returns once the channel has something to read. `heard` is when the server last sent
    // data; silence since then beyond the limit is a lost connection.
    void WaitReadable(std::chrono::steady_clock::time_point& heard);
    void HandleNotice();

    CClientConnection& mConn;
    std::unique_ptr<CTransferChannel> mChannel;
    SRefNum mRef;
    CRateLimiter mLimiter;
    CTransferProgress& mProgress;
    std::uint32_t mQueuePosition = 0;
};

// Local files.
namespace UClientLocal {

// The Mac OS Roman name of a local name; a bad argument when it has none or is too long.
std::string WireName(const std::string& localName);
// The local (UTF-8) form of a name the server sent: never "/", NUL, "." or "..", so a name
// can only ever name an item inside the folder it is put in.
std::string LocalName(std::string_view wireName);
// The last component of a local path ("a/b/" gives "b").
std::string BaseName(const std::string& path);
// True when anything is there, a dangling link included.
bool Exists(const std::string& path);
// Size of a regular file; -1 when there is none.
std::int64_t FileSize(const std::string& path);
// Renames without ever replacing an existing item; a bad argument when that fails.
void RenameNoReplace(const std::string& from, const std::string& to);
// A message for a failure of the file-system layer on a local file.
std::string Describe(const SError& err);

}  // namespace UClientLocal

// Receives one flattened file into the partial file `partial` (created when missing), `size`
// bytes of stream; the caller has sent the resume record that `OpenPartial` returned.
struct SPartialDownload {
    std::string partial;
    TFSRef ref;
    std::uint64_t resumeOffset = 0;
    std::vector<std::uint8_t> resumeRecord;  // empty for a new file
};
// Opens (or creates) the partial file and prepares the unflatten; with `resume` false an
// existing partial file is emptied first.
SPartialDownload OpenPartial(const std::string& partial, bool resume);
void ReceiveFlattened(CTransferLink& link, SPartialDownload& p, std::uint32_t size);
// Finishes the unflatten and gives the partial file its final name.
void FinishPartial(SPartialDownload& p, const std::string& finalPath);

// Sends the local file as a flattened file (resumed at what the record says when given).
// Returns the offset the stream started at.
std::uint64_t SendFlattened(CTransferLink& link, TFSRefObj& ref, std::uint32_t streamSize);

// The commands: get, put, getdir, putdir.
bool IsTransferCommand(const std::string& command);
void RunTransferCommand(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err);
void RunGet(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err);
void RunPut(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err);
void RunGetDir(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err);
void RunPutDir(CClientLink& link, const SClientOptions& opt, std::ostream& out, std::ostream& err);

// Path data of a client path ("a/b/c"), empty for the root; bad argument for unusable names.
std::vector<std::uint8_t> ClientPathData(const std::vector<std::string>& names);
// Adds the folder's path data to a request (nothing for the root).
void AddClientPathField(TFieldDataObj f, const std::vector<std::string>& folder);
// A reply's integer field as the unsigned number the protocol means.
std::uint32_t ReplyU32(TFieldDataObj f, std::uint16_t id);
// Bad argument with the command's usage unless it got between `min` and `max` arguments.
void NeedTransferArgs(const SClientOptions& opt, std::size_t min, std::size_t max, const char* usage);
// True when the item exists on the server (a refused look-up counts as missing).
bool RemoteItemExists(CClientConnection& conn, const std::vector<std::string>& folder, const std::string& name);

}  // namespace kx
