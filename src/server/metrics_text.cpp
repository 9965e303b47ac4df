// The metrics page: the statistics counters and the states of the moment in the Prometheus text
// exposition format, plus the process figures read from /proc.
#include <cstdio>
#include <dirent.h>
#include <unistd.h>

#include "server/stats.h"

namespace kx {

namespace {

// One metric family: its help and type lines, then its samples.
class CMetricsPage {
public:
    void Family(const char* name, const char* type, const char* help) {
        mText += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& name, std::uint64_t value, const std::string& labels = {}) {
        mText += name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }
    void Sample(const std::string& name, double value) { mText += name + " " + Number(value) + "\n"; }
    // A family with one sample.
    void One(const char* name, const char* type, const char* help, std::uint64_t value) {
        Family(name, type, help);
        Sample(name, value);
    }
    static std::string Number(double v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", v);
        return buf;
    }
    std::string Take() { return std::move(mText); }

private:
    std::string mText;
};

}  // namespace

void SMyPassHistogram::Add(double seconds) {
    std::size_t i = 0;
    while (i < kBounds.size() && seconds > kBounds[i]) ++i;
    ++counts[i];
    sumSeconds += seconds;
    ++count;
}

std::string FormatMetrics(const SMyStats& s, const SMyMetricsGauges& g) {
    CMetricsPage p;
    p.Family("kestrix_connections_accepted_total", "counter", "Connections accepted, by listener.");
    for (std::size_t i = 0; i < s.accepted.size(); ++i)
        p.Sample("kestrix_connections_accepted_total", s.accepted[i], std::string("listener=\"") + kMyListenerNames[i] + "\"");
    p.One("kestrix_clients_connected", "gauge", "Clients connected now.", g.clientsConnected);
    p.One("kestrix_clients_logged_in", "gauge", "Clients logged in now.", g.clientsLoggedIn);
    p.One("kestrix_clients_peak", "gauge", "Most clients connected at once since start.", s.connPeak);
    p.One("kestrix_clients_admitted_total", "counter", "Clients admitted since start.", s.connCounter);
    p.Family("kestrix_logins_total", "counter", "Logins, by result.");
    p.Sample("kestrix_logins_total", s.loginsSucceeded, "result=\"succeeded\"");
    p.Sample("kestrix_logins_total", s.loginsRefused, "result=\"refused\"");
    p.Family("kestrix_bans_added_total", "counter", "Bans added, by kind.");
    p.Sample("kestrix_bans_added_total", s.tempBansAdded, "kind=\"temporary\"");
    p.Sample("kestrix_bans_added_total", s.permBansAdded, "kind=\"permanent\"");
    p.Family("kestrix_bans_active", "gauge", "Bans in force now, by kind.");
    p.Sample("kestrix_bans_active", g.tempBansActive, "kind=\"temporary\"");
    p.Sample("kestrix_bans_active", g.permBansActive, "kind=\"permanent\"");
    p.One("kestrix_chat_lines_total", "counter", "Chat lines sent by clients.", s.chatLines);
    p.One("kestrix_private_messages_total", "counter", "Private (instant) messages sent by clients.", s.privateMessages);
    p.One("kestrix_board_posts_total", "counter", "Posts to the message board.", s.boardPosts);
    p.One("kestrix_news_posts_total", "counter", "Articles posted to the news.", s.newsPosts);
    p.Family("kestrix_transfers_started_total", "counter", "File and folder transfers accepted, by direction.");
    p.Sample("kestrix_transfers_started_total", s.dlCounter, "direction=\"download\"");
    p.Sample("kestrix_transfers_started_total", s.ulCounter, "direction=\"upload\"");
    p.Family("kestrix_transfers_running", "gauge", "File and folder transfers in progress, by direction.");
    p.Sample("kestrix_transfers_running", g.transfers.downloading, "direction=\"download\"");
    p.Sample("kestrix_transfers_running", g.transfers.uploading, "direction=\"upload\"");
    p.One("kestrix_downloads_waiting", "gauge", "Downloads in the waiting queue.", g.transfers.waiting);
    p.One("kestrix_transfer_sent_bytes_total", "counter", "File bytes sent by downloads.", s.transferBytesSent);
    p.One("kestrix_transfer_received_bytes_total", "counter", "File bytes received by uploads.", s.transferBytesReceived);
    p.Family("kestrix_errors_total", "counter", "Errors logged, by kind: request (counted toward the reset) or transfer.");
    p.Sample("kestrix_errors_total", s.errors, "kind=\"request\"");
    p.Sample("kestrix_errors_total", s.transferErrors, "kind=\"transfer\"");
    p.One("kestrix_resets_total", "counter", "Server resets after too many errors.", s.resets);

    const auto& h = s.passDurations;
    p.Family("kestrix_pass_duration_seconds", "histogram", "Duration of the processing pass.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.counts.size(); ++i) {
        cumulative += h.counts[i];
        const std::string le = i < h.kBounds.size() ? CMetricsPage::Number(h.kBounds[i]) : "+Inf";
        p.Sample("kestrix_pass_duration_seconds_bucket", cumulative, "le=\"" + le + "\"");
    }
    p.Sample("kestrix_pass_duration_seconds_sum", h.sumSeconds);
    p.Sample("kestrix_pass_duration_seconds_count", h.count);

    if (g.residentBytes != 0)
        p.One("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", g.residentBytes);
    if (g.openDescriptors >= 0)
        p.One("process_open_fds", "gauge", "Number of open file descriptors.", static_cast<std::uint64_t>(g.openDescriptors));
    return p.Take();
}

std::uint64_t ProcessResidentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long long total = 0, resident = 0;
    const bool ok = std::fscanf(f, "%llu %llu", &total, &resident) == 2;
    std::fclose(f);
    const long page = sysconf(_SC_PAGESIZE);
    return ok && page > 0 ? resident * static_cast<std::uint64_t>(page) : 0;
}

std::int64_t ProcessOpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    std::int64_t n = 0;
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the descriptor of the listing itself
}

}  // namespace kx
