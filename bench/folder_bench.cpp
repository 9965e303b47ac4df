// Folder-download benchmark: a server (forked, in-process code, on a temporary folder) sends a
// tree of many small files in a few sub-folders plus a few large files, item by item, to a
// minimal reader over loopback that speaks the folder dialogue (asks for every item, takes every
// file whole, reads each flattened file and checks its DATA fork length). Reports, best of a few
// rounds, the wall time from request to the closed connection, MB/s over the transfer
// connection, items/s, the part of the time spent in the large files, and the server's peak
// resident memory (VmHWM).
//
//   folder_bench [--small N] [--folders F] [--large N] [--large-mib M] [--rounds R]
#include <netinet/tcp.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "bench_support.h"
#include "framework/byte_codec.h"
#include "protocol/transaction_types.h"

using namespace kx;
using namespace kx::bench;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kSendFile = 1;
constexpr std::uint16_t kNextItem = 3;

// Reads from a socket through a 1 MiB buffer, so that small headers cost no system call each.
class CReader {
public:
    explicit CReader(int fd) : mFd(fd), mBuf(1 << 20) {}

    // False at the end of the stream (or an error) before n bytes.
    bool Read(void* dest, std::size_t n) {
        auto* p = static_cast<std::uint8_t*>(dest);
        while (n > 0) {
            if (mAt == mEnd && !Fill()) return false;
            const std::size_t take = std::min(n, mEnd - mAt);
            if (p) std::memcpy(p, mBuf.data() + mAt, take), p += take;
            mAt += take;
            n -= take;
        }
        return true;
    }
    bool Skip(std::size_t n) { return Read(nullptr, n); }
    // True when the peer has closed and every byte has been read.
    bool AtEnd() { return mAt == mEnd && !Fill(); }

private:
    bool Fill() {
        const ssize_t got = read(mFd, mBuf.data(), mBuf.size());
        if (got <= 0) return false;
        mAt = 0;
        mEnd = static_cast<std::size_t>(got);
        return true;
    }

    int mFd;
    std::vector<std::uint8_t> mBuf;
    std::size_t mAt = 0, mEnd = 0;
};

void SendAction(int fd, std::uint16_t action) {
    std::vector<std::uint8_t> b;
    AppendBE16(b, action);
    WriteAll(fd, b);
}

struct SRun {
    double secs = 0;
    std::uint64_t wireBytes = 0;   // everything read on the transfer connection
    std::uint64_t dataBytes = 0;   // the files' contents (DATA forks)
    std::uint32_t items = 0;
    std::uint32_t files = 0;
    std::uint32_t announced = 0;   // the reply's item count
    std::uint32_t totalSize = 0;   // the reply's transfer size
    double largeSecs = 0;          // spent on files of 1 MiB or more, from the answer to the last byte
};

// One folder download: the request, then the dialogue until the server closes the connection.
SRun DownloadFolder(std::uint16_t port, const std::string& name) {
    SRun run;
    const auto start = Clock::now();
    const int c = ConnectClient(port);
    const std::vector<std::uint8_t> body = RequestWithName(c, kTranDownloadFldr, kFieldFileName, name);
    std::uint8_t ref[4] = {0, 0, 0, 0};
    ForEachField(body, [&](std::uint16_t id, const std::uint8_t* d, std::uint16_t len) {
        if (id == kFieldTransferSize) run.totalSize = IntegerOf(d, len);
        else if (id == kFieldFolderItemCount) run.announced = IntegerOf(d, len);
        else if (id == kFieldRefNum && len == 4) std::memcpy(ref, d, 4);
    });
    if (run.announced == 0) Die("folder download refused");

    const int t = Connect(static_cast<std::uint16_t>(port + 1));
    const int one = 1;
    setsockopt(t, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // 2-byte answers go at once
    WriteAll(t, {'K', 'X', 'X', 'F', ref[0], ref[1], ref[2], ref[3], 0, 0, 0, 0, 0, 1, 0, 0});
    CReader in(t);
    SendAction(t, kNextItem);
    for (;;) {
        std::uint8_t head[4];
        if (!in.Read(head, 2)) break;  // the walk is over: the server closed
        const std::size_t size = GetBE16(head);
        if (size < 2 || !in.Read(head + 2, 2) || !in.Skip(size - 2)) Die("item header");
        run.wireBytes += 2 + size;
        ++run.items;
        if (head[3] & 1) {  // a folder
            SendAction(t, kNextItem);
            continue;
        }
        const auto fileStart = Clock::now();
        SendAction(t, kSendFile);
        std::uint8_t len[4];
        if (!in.Read(len, 4)) Die("file length");
        const std::uint32_t flatSize = GetBE32(len);
        // Header (24), INFO fork header (16) and fork, DATA fork header (16) and the data.
        std::uint8_t flat[40];
        if (flatSize < 56 || !in.Read(flat, 40) || std::memcmp(flat, "FILP", 4) != 0) Die("flattened file");
        const std::uint32_t infoSize = GetBE32(flat + 36);
        std::uint8_t data[16];
        if (!in.Skip(infoSize) || !in.Read(data, 16) || std::memcmp(data, "DATA", 4) != 0) Die("DATA fork");
        const std::uint32_t dataSize = GetBE32(data + 12);
        if (56u + infoSize + dataSize != flatSize || !in.Skip(dataSize)) Die("file data");
        if (dataSize >= (1u << 20)) run.largeSecs += std::chrono::duration<double>(Clock::now() - fileStart).count();
        run.wireBytes += 4 + flatSize;
        run.dataBytes += dataSize;
        ++run.files;
        SendAction(t, kNextItem);
    }
    run.secs = std::chrono::duration<double>(Clock::now() - start).count();
    close(t);
    close(c);
    if (run.items != run.announced || run.dataBytes != run.totalSize) Die("incomplete folder");
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    int small = 1000, folders = 5, large = 10, rounds = 3;
    std::uint64_t largeMib = 32;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--small")) small = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--folders")) folders = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--large")) large = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--large-mib")) largeMib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/kx-folder-bench-XXXXXX";
    if (!mkdtemp(tmpl)) Die("mkdtemp");
    const std::string dir = tmpl;
    const std::string tree = dir + "/Files/Tree";
    mkdir((dir + "/Files").c_str(), 0755);
    mkdir(tree.c_str(), 0755);
    // Small files of 1 to 8 KiB spread over the sub-folders; the large ones at the top.
    std::uint64_t smallBytes = 0;
    for (int f = 0; f < folders; ++f) mkdir((tree + "/Folder " + std::to_string(f)).c_str(), 0755);
    for (int i = 0; i < small; ++i) {
        const std::uint64_t size = 1024u * (1 + static_cast<std::uint64_t>(i * 37 % 8));
        WriteTestFile(tree + "/Folder " + std::to_string(i % folders) + "/note " + std::to_string(i) + ".txt", size);
        smallBytes += size;
    }
    for (int i = 0; i < large; ++i) WriteTestFile(tree + "/large " + std::to_string(i) + ".bin", largeMib << 20);

    const std::uint16_t port = FindPorts(2);
    const pid_t server = StartServer(dir, port, myAcc_DownloadFolders);
    // Let it start and settle before its baseline memory is read.
    close(ConnectClient(port));
    const std::uint64_t idleKiB = PeakRssKiB(server);

    std::printf("tree: %d files of 1-8 KiB (%.1f MiB) in %d sub-folders, %d files of %llu MiB; best of %d rounds\n",
                small, static_cast<double>(smallBytes) / 1048576.0, folders, large,
                static_cast<unsigned long long>(largeMib), rounds);
    std::printf("%-6s %9s %9s %9s %10s %9s\n", "round", "wall s", "MB/s", "items/s", "items", "large s");
    SRun best;
    for (int r = 0; r < rounds; ++r) {
        const SRun run = DownloadFolder(port, "Tree");
        std::printf("%-6d %9.3f %9.0f %9.0f %10u %9.3f\n", r + 1, run.secs,
                    static_cast<double>(run.wireBytes) / 1e6 / run.secs, run.items / run.secs, run.items, run.largeSecs);
        std::fflush(stdout);
        if (best.secs == 0 || run.secs < best.secs) best = run;
    }
    std::printf("best: %.3f s, %.0f MB/s, %.0f items/s (%u items, %u files, %.1f MB on the wire; %.3f s in large files)\n",
                best.secs, static_cast<double>(best.wireBytes) / 1e6 / best.secs, best.items / best.secs, best.items,
                best.files, static_cast<double>(best.wireBytes) / 1e6, best.largeSecs);
    std::printf("server peak resident memory: %.1f MiB (%.1f MiB after start-up)\n", PeakRssKiB(server) / 1024.0,
                idleKiB / 1024.0);
    Stop(server);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
