// flowsieve capture: packets from interfaces or a stream, cut into archives
// by period and size as they come, the store kept within its bounds.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstring>
#include <deque>
#include <string_view>
#include <ctime>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "archive/catalog.hpp"
#include "archive/writer.hpp"
#include "cli/command.hpp"
#include "cli/listing.hpp"
#include "flow/duplicates.hpp"
#include "flow/flow_table.hpp"
#include "flow/fragments.hpp"
#include "flow/source.hpp"
#include "flow/strategy.hpp"
#include "parser/capture_stream.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"

namespace flowsieve::cli {
namespace {

const char* const kCaptureHelp = R"(Usage: flowsieve capture -i IFACE... STORE_DIR [OPTIONS]
       flowsieve capture - STORE_DIR [OPTIONS]

Captures packets from network interfaces (-i, repeatable; any for all of
them) or from a pcap or pcapng stream on standard input (-), such as
'tcpdump -i eth0 -w - | flowsieve capture - store/', and cuts them into
archives in STORE_DIR as they come: one for each period of --rotate
seconds, periods aligned to multiples of the period since the epoch, by
packet time, and a new one whenever an archive reaches --rotate-size. An
archive is written under a hidden temporary name and renamed when complete,
to the UTC time of its first packet (2026-12-08T04-00-00Z.fsieve, with -1,
-2, ... when that name exists), so the folder only ever shows complete
archives to flows, export and Store; an archive is closed at the latest one
period after its first packet arrived.

Options:
  -i, --interface IFACE  capture from IFACE with libpcap (repeatable)
      --rotate SECONDS   period of each archive (default 60)
      --rotate-size SIZE start a new archive at this size (default 1G)
      --keep AGE         after each archive, delete this command's archives
                         whose first packet is older than AGE before the
                         newest packet (s, m, h or d: 30d)
      --keep-size SIZE   ... and the oldest of them while they take more
                         than SIZE (K, M, G: powers of 1024; or bytes)
  -s, --strategy NAME    session (default), flow, host, hostpair, mac,
                         bssid or nosplit
      --tunnels MODE     outer (default) or inner: flows of the innermost
                         IP layer inside VXLAN, GENEVE, GRE, GTP-U and
                         IP-in-IP tunnels, as for archive
      --dedup            drop a packet captured twice: one whose IP packet,
                         from its IP header on, equals that of one of the
                         last 64 packets read within 10 ms (tcpdump -i any
                         on a host with bridges, two interfaces, a doubled
                         SPAN port); counted in each status line
      --filter EXPR      keep only packets that the tcpdump-style filter
                         EXPR takes (compiled into the interface's capture)
      --snaplen N        bytes kept of each frame (default 262144)
      --buffer SIZE      kernel buffer of each interface (default 64M)
      --report json      one JSON object per archive on standard output:
                         archive, packets, bytes, flows, start, end,
                         dropped_kernel, dropped_interface (and with
                         --dedup duplicates_dropped)
  -q, --quiet            no status line per archive
  -h, --help             show this help

Each archive gets a status line on standard error: its packets, bytes,
flows, and the packets the kernel and the interfaces dropped since the last
line. Only this command's own time-named archives are ever deleted, never
the newest, each with a line on standard error. A flow that spans periods
is in each of their archives; 'flows --flow' and 'export --merge' on the
folder join its pieces. A catalog of the archives, .fsieve-catalog, is
kept beside them: flows, export and Store pass over the archives that it
shows cannot answer a query.

SIGINT or SIGTERM finishes the current archive with every packet received
and exits 0; a second one exits at once, removing the temporary file.
SIGHUP starts a new archive. On a full disk, --keep or --keep-size makes
the oldest archives go; without them the current archive is finished with
what it has and the command exits 1, saying how many packets were lost.
)";

constexpr int kWaitMs = 100;
// Frames in transit between reading and writing, at most; past the first
// kSteadyBytes only while the writer is held up, having given none back for
// kHeldUp (a slow or stalled disk). A writer that keeps giving frames back
// is merely slower than the source, which then waits for it: the blocks in
// transit stay few, and are reused rather than faulted in afresh.
constexpr uint64_t kQueueBytes = 256ull << 20;
constexpr uint64_t kSteadyBytes = 16ull << 20;
constexpr auto kHeldUp = std::chrono::milliseconds(50);
constexpr uint32_t kDefaultSnapLength = 262144;
constexpr uint64_t kDefaultBuffer = 64ull << 20;
// Room kept free on the disk, checked each time an archive has grown by
// kRoomCheckBytes: for its write buffer and what was written since the last
// check, and for its flow table, index and footer, by its flows and packets.
constexpr uint64_t kRoomCheckBytes = 256 << 10;
constexpr uint64_t kRoomReserve = 1 << 20;
constexpr uint64_t kRoomPerFlow = 256;
constexpr uint64_t kRoomPerPacket = 4;

// ---- Signals. Their handlers only set flags, but for a second stop,
// which removes the temporary file named here and exits.

// Lock-free, so safe in a handler, and shared by the two threads.
std::atomic<int> stop_signal{0};
std::atomic<bool> rotate_requested{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
int signal_store_fd = -1;
// Two slots, so that the name a handler reads is never half written.
char temp_names[2][64];
std::atomic<int> temp_slot{-1};

void on_stop(int signo) {
    if (stop_signal.exchange(signo)) {
        const int slot = temp_slot;
        if (slot >= 0) ::unlinkat(signal_store_fd, temp_names[slot], 0);
        ::_exit(128 + signo);
    }
}

void on_hangup(int) { rotate_requested = true; }

void install_handlers() {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_stop;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = on_hangup;
    ::sigaction(SIGHUP, &action, nullptr);
}

void publish_temp_name(const std::string& name) {
    const int slot = temp_slot == 0 ? 1 : 0;
    std::snprintf(temp_names[slot], sizeof temp_names[slot], "%s", name.c_str());
    temp_slot = slot;
}

// ---- Option values.

// A number with an optional unit, one of `units` (either case), each worth
// its factor.
uint64_t scaled(const std::string& text, const char* what, std::string_view units,
                std::initializer_list<uint64_t> factors) {
    const size_t unit =
        text.empty() ? std::string_view::npos : units.find(char(std::tolower((unsigned char)text.back())));
    if (unit == std::string_view::npos) return number(text, UINT64_MAX, what);
    const uint64_t factor = factors.begin()[unit];
    return number(text.substr(0, text.size() - 1), UINT64_MAX / factor, what) * factor;
}

uint64_t size_value(const std::string& text, const char* what) {
    return scaled(text, what, "kmg", {1ull << 10, 1ull << 20, 1ull << 30});
}

uint64_t age_value(const std::string& text, const char* what) {
    return scaled(text, what, "smhd", {1, 60, 3600, 86400});
}

// ---- The archives' names: their first packet's UTC time, and a suffix
// when that is taken.

std::string time_name(uint32_t seconds) {
    const time_t t = time_t(seconds);
    struct tm utc;
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H-%M-%SZ", &utc);
    return text;
}

// An archive this command named: its time and suffix, for ordering.
struct OwnArchive {
    std::string name;
    int64_t time = 0;
    uint64_t suffix = 0;
    uint64_t size = 0;
};

std::optional<OwnArchive> own_archive(const std::string& name) {
    static constexpr char kPattern[] = "dddd-dd-ddTdd-dd-ddZ";
    constexpr size_t kTimeLength = sizeof kPattern - 1;
    const std::string extension = ".fsieve";
    if (name.size() < kTimeLength + extension.size() ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
        return std::nullopt;
    for (size_t i = 0; i < kTimeLength; ++i)
        if (kPattern[i] == 'd' ? !(name[i] >= '0' && name[i] <= '9') : name[i] != kPattern[i]) return std::nullopt;
    OwnArchive own{name};
    const std::string rest = name.substr(kTimeLength, name.size() - kTimeLength - extension.size());
    if (!rest.empty()) {
        if (rest[0] != '-' || rest.size() < 2 || rest.size() > 10 || rest[1] == '0') return std::nullopt;
        for (size_t i = 1; i < rest.size(); ++i)
            if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
        own.suffix = std::stoull(rest.substr(1));
    }
    struct tm utc = {};
    if (!::strptime(name.c_str(), "%Y-%m-%dT%H-%M-%SZ", &utc)) return std::nullopt;
    own.time = int64_t(::timegm(&utc));
    return own;
}

// ---- Packets between the reading thread and the writing one.

// The packets of a round of reading. Their frames borrow the storage of the
// readers they came from, which the batch holds until the archive's buffer
// has written the frames out: no shared count is touched per packet.
struct Batch {
    // A packet's flows, numbered on the reading thread in a table that starts
    // again with each period (`table`), which the writer renumbers for its archive.
    struct Flows {
        uint32_t ids[2];
        uint32_t table;
        uint8_t count;
    };
    std::vector<ParsedPacket> packets;
    std::vector<Flows> flows;  // by packet
    std::shared_ptr<const FrameFileFormat> format;  // of the frames as read
    std::vector<std::shared_ptr<CaptureReader>> frames;
    uint64_t bytes = 0;  // of frames
    uint64_t duplicates = 0;  // packets dropped as captured twice

    void clear() {
        packets.clear();
        flows.clear();
        frames.clear();
        bytes = 0;
        duplicates = 0;
    }
};

class BatchQueue {
public:
    // An empty batch, one given back when there is one, so that its vector
    // keeps its room and reading does not fault in fresh pages.
    Batch spare() {
        std::lock_guard lock(mutex_);
        if (spares_.empty()) return Batch();
        Batch batch = std::move(spares_.back());
        spares_.pop_back();
        return batch;
    }
    // Hands the batch over; waits while the frames in transit reach the
    // bound, or the steady bound while the writer is not held up.
    void push(Batch&& batch) {
        std::unique_lock lock(mutex_);
        while (bytes_ >= kSteadyBytes) {
            if (bytes_ >= kQueueBytes) {
                room_.wait(lock);
                continue;
            }
            const auto held_up_at = given_back_ + kHeldUp;
            if (std::chrono::steady_clock::now() >= held_up_at) break;
            room_.wait_until(lock, held_up_at);
        }
        bytes_ += batch.bytes;
        ready_.push_back(std::move(batch));
        if (ready_.size() == 1) ready_cv_.notify_one();
    }
    void close(std::optional<CallError> error = std::nullopt) {
        std::lock_guard lock(mutex_);
        closed_ = true;
        error_ = std::move(error);
        ready_cv_.notify_one();
    }
    // Takes whatever arrived, waiting up to `timeout_ms` for something;
    // false once closed and empty.
    bool take(std::vector<Batch>& out, int timeout_ms) {
        std::unique_lock lock(mutex_);
        ready_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !ready_.empty() || closed_; });
        for (; !ready_.empty(); ready_.pop_front()) out.push_back(std::move(ready_.front()));
        return !closed_ || !out.empty();
    }
    // Gives back batches whose frames were written out, for reuse.
    void recycle(std::vector<Batch>& done) {
        uint64_t bytes = 0;
        for (Batch& batch : done) {
            bytes += batch.bytes;
            batch.clear();
        }
        std::lock_guard lock(mutex_);
        const bool waited = bytes_ >= kSteadyBytes;
        bytes_ -= bytes;
        given_back_ = std::chrono::steady_clock::now();
        for (Batch& batch : done) spares_.push_back(std::move(batch));
        done.clear();
        if (waited) room_.notify_one();
    }
    std::optional<CallError> error() {
        std::lock_guard lock(mutex_);
        return error_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_cv_;
    std::condition_variable room_;
    std::deque<Batch> ready_;
    std::vector<Batch> spares_;
    uint64_t bytes_ = 0;  // of frames handed over and not yet given back
    std::chrono::steady_clock::time_point given_back_ = std::chrono::steady_clock::now();  // last
    bool closed_ = false;
    std::optional<CallError> error_;
};

// Where packets come from: a stream on standard input or interfaces.
struct Source {
    std::optional<CaptureStream> stream;
    std::unique_ptr<LiveCapture> live;
    PcapFilter* filter = nullptr;  // the stream's; an interface filters in the kernel
    TunnelMode tunnels = TunnelMode::Outer;
    SplitStrategy strategy = SplitStrategy::Session;
    uint64_t rotate = 60;
    bool dedup = false;
    std::atomic<uint64_t> dropped_kernel{0};
    std::atomic<uint64_t> dropped_interface{0};
    std::optional<std::string> warning;  // for the end
};

void read_source(Source& source, BatchQueue& queue) {
    std::shared_ptr<const FrameFileFormat> format;  // of the frames as read
    if (source.live) format = std::make_shared<FrameFileFormat>(source.live->format());
    std::optional<uint32_t> prepared;  // the link type the stream's filter was checked for
    // Later fragments get their datagram's flow as archive gives it. The
    // packets that wait in the matcher own copies of their frames, which
    // may outlive the batch they were read in.
    FragmentMatcher fragments;
    auto last_read = std::chrono::steady_clock::now();  // when packets last came
    std::optional<DuplicateWindow> duplicates;
    if (source.dedup) duplicates.emplace(true);
    // Keying is done here, so that the writer only writes.
    FlowTable table;
    FlowKeys keys;
    uint32_t table_number = 0;
    uint64_t table_start = 1, table_end = 0;  // the seconds of its period: none yet
    Batch batch = queue.spare();
    auto number = [&] {
        for (size_t i = batch.flows.size(); i < batch.packets.size(); ++i) {
            const ParsedPacket& packet = batch.packets[i];
            if (packet.ts_sec < table_start || packet.ts_sec >= table_end) {
                table = FlowTable();
                ++table_number;
                table_start = packet.ts_sec - packet.ts_sec % source.rotate;
                table_end = table_start + source.rotate;
            }
            keys_into(keys, source.strategy, packet, KeyForm::Compact);
            Batch::Flows& flows = batch.flows.emplace_back();
            flows.table = table_number;
            flows.count = keys.count;
            for (uint8_t k = 0; k < keys.count; ++k) {
                const std::string_view key = keys.keys[k].text();
                const uint32_t flow = table.find(key);
                flows.ids[k] = flow != FlowTable::kAbsent ? flow : table.insert(key);
            }
        }
    };
    auto add = [&](ParsedPacket&& packet) {
        batch.bytes += packet.data.size();
        batch.packets.push_back(std::move(packet));
    };
    // Lets the packets that the matcher holds go, at the end or when asked
    // for all of them.
    auto release_fragments = [&](bool all) {
        if (all) fragments.finish();
        batch.format = format;
        while (fragments.ready()) add(fragments.take());
    };
    auto hand_over = [&] {
        if (!batch.packets.empty() || batch.duplicates) {
            number();
            queue.push(std::move(batch));
            batch = queue.spare();
        } else {
            batch.clear();
        }
    };
    // What was read before a failure is kept.
    auto fail = [&](CallError error) {
        hand_over();
        queue.close(std::move(error));
    };
    for (;;) {
        // Once stopped, what has arrived is still taken, without waiting.
        const bool stopping = stop_signal != 0;
        std::vector<std::unique_ptr<CaptureReader>> readers;
        bool ended = false;
        if (source.live) {
            auto got = source.live->next(stopping ? 0 : kWaitMs);
            if (!got) return fail(std::move(got).error());
            readers = std::move(got).value();
            const LiveCapture::Drops drops = source.live->drops();
            source.dropped_kernel.store(drops.kernel, std::memory_order_relaxed);
            source.dropped_interface.store(drops.interface, std::memory_order_relaxed);
        } else {
            auto got = source.stream->next(stopping ? 0 : kWaitMs);
            if (!got) return fail(CallError::runtime(got.error().text()).about("-"));
            if (got->reader) readers.push_back(std::move(got->reader));
            ended = got->ended;
            if (got->cut_off_bytes)
                source.warning = "the stream ended inside a record; its last " + std::to_string(got->cut_off_bytes) +
                                 " bytes were left out";
        }
        for (auto& owned : readers) {
            std::shared_ptr<CaptureReader> reader = std::move(owned);
            if (!source.live && (!format || *format != reader->frame_format())) {
                // A stream's new section: fragments that wait leave with the
                // format they were read in.
                if (format) release_fragments(true);
                hand_over();
                format = std::make_shared<FrameFileFormat>(reader->frame_format());
            }
            batch.format = format;
            if (source.filter && prepared != reader->link_type()) {
                if (auto st = source.filter->prepare(reader->link_type()); !st) return fail(std::move(st).error());
                prepared = reader->link_type();
            }
            reader->lend_frames();
            reader->decode_tunnels(source.tunnels);
            batch.frames.push_back(reader);
            for (;;) {
                NextPacket next = reader->next_packet();
                if (auto* error = std::get_if<CaptureError>(&next))
                    return fail(CallError::runtime(error->text()).about("-"));
                if (!std::holds_alternative<ParsedPacket>(next)) break;
                ParsedPacket& packet = std::get<ParsedPacket>(next);
                if (source.filter && !source.filter->accepts(packet)) continue;
                if (duplicates && duplicates->repeats(packet)) [[unlikely]] {
                    ++batch.duplicates;
                    continue;
                }
                if (fragments.takes(packet)) [[unlikely]] {
                    packet.data = SharedBytes::copy_of(packet.data.view());
                    fragments.add(std::move(packet));
                    release_fragments(false);
                } else {
                    add(std::move(packet));
                }
            }
        }
        // Interfaces' packets in time order, lest an archive end at a
        // period's end only for a packet of another interface from before it.
        if (readers.size() > 1)
            std::stable_sort(batch.packets.begin(), batch.packets.end(),
                             [](const ParsedPacket& a, const ParsedPacket& b) {
                                 return std::pair(a.ts_sec, a.ts_usec) < std::pair(b.ts_sec, b.ts_usec);
                             });
        // Fragments wait for their first fragment only while packets come:
        // not once none came for a while.
        const auto now = std::chrono::steady_clock::now();
        if (!readers.empty()) last_read = now;
        if (ended || stopping || (fragments.waiting() && now - last_read >= std::chrono::milliseconds(kWaitMs)))
            release_fragments(true);
        hand_over();
        if (ended || stopping) break;
    }
    queue.close();
}

// ---- The writing side.

struct Settings {
    uint64_t rotate = 60;
    uint64_t rotate_size = 1ull << 30;
    std::optional<uint64_t> keep;
    std::optional<uint64_t> keep_size;
    SplitStrategy strategy = SplitStrategy::Session;
    TunnelMode tunnels = TunnelMode::Outer;
    bool quiet = false;
    bool json = false;
    bool live = false;
};

class Store {
public:
    Store(int dir_fd, std::string path, const Settings& settings, Source& source)
        : dir_(dir_fd), path_(std::move(path)), settings_(settings), source_(source) {}

    // Brings the folder's catalog up to date with the archives there: the
    // entries of those that changed or went are dropped, and those not in
    // it, or entered before their names were, are read and entered.
    void update_catalog() {
        archive::Catalog found = archive::Catalog::read(dir_);
        bool changed = false;
        const int fd = ::openat(dir_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0) ::close(fd);
            return;
        }
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            struct stat st;
            if (name[0] == '.' || !name.ends_with(".fsieve") || ::fstatat(dir_, name.c_str(), &st, 0) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            if (const archive::CatalogEntry* entry = found.find(name); entry && entry->describes(st) && entry->names) {
                catalog_.add(*entry);
                continue;
            }
            UniqueFd archive_fd(::openat(dir_, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            auto reader = archive_fd.valid() ? archive::open_archive(std::move(archive_fd))
                                             : Result<std::shared_ptr<const archive::ArchiveReader>>(os_error(errno));
            if (reader) catalog_.add(archive::catalog_entry(**reader, name, st));
            changed = true;
        }
        ::closedir(dir);
        if (changed || found.size() != catalog_.size())
            if (auto st = catalog_.write(dir_); !st) message("the catalog was not written: " + st.error().message);
    }

    // Writes the packet into the archive of its period.
    Status<CallError> add(const ParsedPacket& packet, const Batch::Flows& read, const FrameFileFormat& format) {
        newest_ = std::max<int64_t>(newest_, packet.ts_sec);
        if (current_ && (packet.ts_sec < current_->period_start || packet.ts_sec >= current_->period_end ||
                         (packet.link_type != current_->link_type &&
                          !std::ranges::count(current_->format.link_types, packet.link_type))))
            if (auto st = close(); !st) return st;
        if (!current_)
            if (auto st = open(packet, format); !st) return st;
        Archive& a = *current_;
        // The reading thread's numbers, renumbered from 0 in order of first
        // sight in this archive.
        if (read.table != a.table) {
            a.numbers.clear();
            a.table = read.table;
        }
        uint32_t flows[2];
        for (uint8_t i = 0; i < read.count; ++i) {
            const uint32_t id = read.ids[i];
            if (id >= a.numbers.size()) a.numbers.resize(std::max<size_t>(id + 1, 2 * a.numbers.size()), 0);
            if (!a.numbers[id]) a.numbers[id] = ++a.flows;
            flows[i] = a.numbers[id] - 1;
        }
        if (auto st = a.builder.add(packet, flows, read.count); !st) return st;
        a.link_type = packet.link_type;
        ++a.packets;
        a.end = packet.ts_sec;
        if (a.builder.size() >= settings_.rotate_size) return close();
        if (a.builder.size() - a.checked_at >= kRoomCheckBytes) {
            a.checked_at = a.builder.size();
            return make_room();
        }
        return {};
    }

    // Closes an archive asked to close (SIGHUP) or open for a period of
    // the clock.
    Status<CallError> tick() {
        const bool asked = rotate_requested.exchange(false);
        if (!current_) return {};
        if (asked ||
            std::chrono::steady_clock::now() - current_->opened >= std::chrono::seconds(settings_.rotate))
            return close();
        return {};
    }

    // Writes out what the archive's buffer holds, so that the packets
    // added so far need not stay.
    Status<CallError> flush() { return current_ ? current_->builder.flush() : Status<CallError>(); }

    // Gives the archive up: its temporary file is removed.
    void abandon() {
        if (!current_) return;
        temp_slot = -1;
        ::unlinkat(dir_, current_->temp.c_str(), 0);
        current_.reset();
    }

    // Counts packets dropped as captured twice, for the next status line.
    void count_duplicates(uint64_t n) { duplicates_ += n; }

    // Packets in the archives finished so far.
    uint64_t stored() const { return stored_; }

    // Finishes the archive, renames it, reports it and applies retention.
    Status<CallError> close() {
        if (!current_) return {};
        Archive& a = *current_;
        auto finished = a.builder.finish();
        if (!finished) return std::move(finished).error();
        std::string name;
        for (uint64_t n = 0;; ++n) {
            name = a.stem + (n ? "-" + std::to_string(n) : "") + ".fsieve";
            if (::renameat2(dir_, a.temp.c_str(), dir_, name.c_str(), RENAME_NOREPLACE) == 0) break;
            if (errno != EEXIST) return CallError::runtime(os_error(errno), a.temp);
        }
        temp_slot = -1;
        struct stat st;
        const uint64_t bytes = ::fstat(finished->get(), &st) == 0 ? uint64_t(st.st_size) : a.builder.size();
        catalog(finished->get(), name);
        if (::close(finished->release()) != 0 && errno != EINTR) return CallError::runtime(os_error(errno), name);
        report(a, name, bytes);
        stored_ += a.packets;
        current_.reset();
        retain(name);
        return {};
    }

private:
    struct Archive {
        archive::ArchiveBuilder builder;
        std::string stem;
        std::string temp;
        FrameFileFormat format;
        // Each flow's number here, plus 1, by its number in the reading
        // thread's table; 0 for flows not seen here yet.
        std::vector<uint32_t> numbers;
        uint32_t table = 0;
        uint32_t flows = 0;
        // The seconds of its period, [start, end): compared rather than
        // divided for each packet.
        uint64_t period_start = 0;
        uint64_t period_end = 0;
        uint32_t link_type = 0;  // the last packet's, which needs no look-up in the format's
        uint64_t packets = 0;
        uint64_t checked_at = 0;  // the size at which room on the disk was last checked
        uint32_t start = 0;
        uint32_t end = 0;
        std::chrono::steady_clock::time_point opened;
    };

    // Keeps room on the disk for what is buffered and for the archive's
    // end: by deleting the oldest archives when the store has bounds,
    // otherwise by finishing the archive while it can be finished and
    // failing, so that the packets that come are counted as lost. The room
    // is allocated in the archive's file where the file system allows, so
    // that another process filling the disk cannot take it: the archive can
    // then always be finished with what was written.
    Status<CallError> make_room() {
        for (;;) {
            uint64_t need = kRoomReserve;
            if (current_) need += current_->builder.flow_count() * kRoomPerFlow + current_->packets * kRoomPerPacket;
            bool room;
            if (current_ && allocates_ahead_) {
                auto reserved = current_->builder.reserve(kRoomCheckBytes + need);
                if (!reserved && reserved.error().os_errno != ENOSPC) {
                    allocates_ahead_ = false;
                    continue;
                }
                room = bool(reserved);
            } else {
                struct statvfs fs;
                if (::fstatvfs(dir_, &fs) != 0) return {};
                room = uint64_t(fs.f_bavail) * fs.f_frsize >= need;
            }
            if (room) return {};
            if (settings_.keep || settings_.keep_size) {
                std::vector<OwnArchive> archives = own_archives();
                if (!archives.empty() && delete_archive(archives.front(), "the disk is full")) continue;
            }
            if (current_ && current_->packets == 0) abandon();
            if (auto st = close(); !st) return st;
            return CallError::io(os_error(ENOSPC), path_);
        }
    }

    bool delete_archive(const OwnArchive& a, const char* reason) {
        if (::unlinkat(dir_, a.name.c_str(), 0) != 0) {
            message("could not delete " + a.name + ": " + os_error_text(errno));
            return false;
        }
        message("deleted " + a.name + " (" + reason + ")");
        catalog_.remove(a.name);
        // The file keeps the entries of deleted archives until they are as
        // many as the others.
        if (++uncatalogued_ > catalog_.size()) {
            uncatalogued_ = 0;
            if (auto st = catalog_.write(dir_); !st) message("the catalog was not written: " + st.error().message);
        }
        return true;
    }

    // Enters the finished archive, open at fd, in the catalog.
    void catalog(int fd, const std::string& name) {
        struct stat st;
        auto reader = ::fstat(fd, &st) == 0 ? archive::open_archive(UniqueFd(::dup(fd)))
                                            : Result<std::shared_ptr<const archive::ArchiveReader>>(os_error(errno));
        if (!reader) return message(name + " was not entered in the catalog: " + reader.error().message);
        archive::CatalogEntry entry = archive::catalog_entry(**reader, name, st);
        if (auto appended = archive::Catalog::append(dir_, entry); !appended)
            message(name + " was not entered in the catalog: " + appended.error().message);
        catalog_.add(std::move(entry));
    }

    Status<CallError> open(const ParsedPacket& packet, const FrameFileFormat& format) {
        if (auto st = make_room(); !st) return st;
        const std::string stem = time_name(packet.ts_sec);
        const std::string temp = "." + stem + ".tmp";
        publish_temp_name(temp);
        auto fd = create_held(dir_, temp.c_str(), O_RDWR);
        if (!fd) {
            temp_slot = -1;
            if (fd.error() == EBUSY) return CallError::io("another run is writing " + temp).about(temp);
            return CallError::io(Error{"Failed to create temp archive file: " + temp, fd.error()}, temp);
        }
        auto builder = archive::ArchiveBuilder::start(std::move(fd).value(), format, temp);
        if (!builder) {
            ::unlinkat(dir_, temp.c_str(), 0);
            temp_slot = -1;
            return std::move(builder).error();
        }
        const uint64_t period_start = packet.ts_sec - packet.ts_sec % settings_.rotate;
        current_.emplace(Archive{std::move(builder).value(), stem, temp, format, {}, 0, 0, period_start,
                                 period_start + settings_.rotate, packet.link_type, 0, 0, packet.ts_sec,
                                 packet.ts_sec, std::chrono::steady_clock::now()});
        return make_room();
    }

    void report(const Archive& a, const std::string& name, uint64_t bytes) {
        const uint64_t kernel = source_.dropped_kernel.load(std::memory_order_relaxed);
        const uint64_t interface = source_.dropped_interface.load(std::memory_order_relaxed);
        const uint64_t new_kernel = kernel - reported_kernel_, new_interface = interface - reported_interface_;
        reported_kernel_ = kernel;
        reported_interface_ = interface;
        const uint64_t new_duplicates = std::exchange(duplicates_, 0);
        if (settings_.quiet) return;
        std::string line = name + ": " + std::to_string(a.packets) + " packets, " + std::to_string(bytes) +
                           " bytes, " + std::to_string(a.builder.flow_count()) + " flows";
        if (settings_.live)
            line += ", " + std::to_string(new_kernel) + " dropped by the kernel, " + std::to_string(new_interface) +
                    " by the interface";
        if (source_.dedup) line += ", " + std::to_string(new_duplicates) + " duplicates dropped";
        message(line);
        if (!settings_.json) return;
        std::printf("{\"archive\": \"%s\", \"packets\": %llu, \"bytes\": %llu, \"flows\": %llu, \"start\": %u, "
                    "\"end\": %u, \"dropped_kernel\": %llu, \"dropped_interface\": %llu",
                    json_escaped(name).c_str(), (unsigned long long)a.packets, (unsigned long long)bytes,
                    (unsigned long long)a.builder.flow_count(), a.start, a.end, (unsigned long long)new_kernel,
                    (unsigned long long)new_interface);
        if (source_.dedup) std::printf(", \"duplicates_dropped\": %llu", (unsigned long long)new_duplicates);
        std::printf("}\n");
        std::fflush(stdout);
    }

    // This command's archives, oldest first.
    std::vector<OwnArchive> own_archives() const {
        std::vector<OwnArchive> out;
        const int fd = ::openat(dir_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0) ::close(fd);
            return out;
        }
        while (const dirent* entry = ::readdir(dir)) {
            auto own = own_archive(entry->d_name);
            struct stat st;
            if (!own || ::fstatat(dir_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
                continue;
            own->size = uint64_t(st.st_size);
            out.push_back(std::move(*own));
        }
        ::closedir(dir);
        std::sort(out.begin(), out.end(), [](const OwnArchive& a, const OwnArchive& b) {
            return std::tie(a.time, a.suffix, a.name) < std::tie(b.time, b.suffix, b.name);
        });
        return out;
    }

    // Deletes the oldest archives while the store is over its bounds; never
    // `newest`, just written.
    void retain(const std::string& newest) {
        if (!settings_.keep && !settings_.keep_size) return;
        std::vector<OwnArchive> archives = own_archives();
        uint64_t total = 0;
        for (const OwnArchive& a : archives) total += a.size;
        for (const OwnArchive& a : archives) {
            if (a.name == newest) continue;
            const char* reason = nullptr;
            if (settings_.keep_size && total > *settings_.keep_size) reason = "the store is over --keep-size";
            else if (settings_.keep && a.time + int64_t(*settings_.keep) < newest_) reason = "older than --keep";
            if (!reason) break;
            if (delete_archive(a, reason)) total -= a.size;
        }
    }

    int dir_;
    std::string path_;  // for messages
    const Settings& settings_;
    Source& source_;
    std::optional<Archive> current_;
    int64_t newest_ = 0;
    uint64_t stored_ = 0;
    uint64_t reported_kernel_ = 0;
    uint64_t reported_interface_ = 0;
    uint64_t duplicates_ = 0;  // dropped since the last line
    archive::Catalog catalog_;
    size_t uncatalogued_ = 0;  // entries of deleted archives still in the catalog's file
    bool allocates_ahead_ = true;  // until the file system says it cannot
};

int run_capture(const Parsed& p) {
    const std::vector<std::string> interfaces = p.all('i');
    if (interfaces.empty()) {
        expect_args(p, 2, 2, "SOURCE (-i IFACE or -) and STORE_DIR");
        if (p.args[0] != "-") usage("the source is -i IFACE or - for standard input, not '" + p.args[0] + "'");
    } else {
        expect_args(p, 1, 1, "STORE_DIR");
    }
    const std::string store_path = p.args.back();
    Settings settings;
    if (p.has(kRotate)) settings.rotate = number(p.last(kRotate), UINT32_MAX, "--rotate value");
    if (settings.rotate == 0) usage("invalid --rotate value '0': at least 1");
    if (p.has(kRotateSize)) settings.rotate_size = size_value(p.last(kRotateSize), "--rotate-size value");
    if (p.has(kKeep)) settings.keep = age_value(p.last(kKeep), "--keep value");
    if (p.has(kKeepSize)) settings.keep_size = size_value(p.last(kKeepSize), "--keep-size value");
    const uint32_t snap_length =
        p.has(kSnaplen) ? uint32_t(number(p.last(kSnaplen), kDefaultSnapLength, "--snaplen value")) : kDefaultSnapLength;
    const uint64_t buffer = p.has(kBuffer) ? size_value(p.last(kBuffer), "--buffer value") : kDefaultBuffer;
    auto chosen = choose_strategy(strategy(p));
    if (!chosen) throw std::move(chosen).error();
    settings.strategy = *chosen;
    auto tunnel_mode = choose_tunnels(tunnels(p));
    if (!tunnel_mode) throw std::move(tunnel_mode).error();
    settings.tunnels = *tunnel_mode;
    check_report(p);
    settings.quiet = p.has('q');
    settings.json = p.has(kReport) && !settings.quiet;
    settings.live = !interfaces.empty();
    const bool dedup = p.has(kDedup);


    Source source;
    source.tunnels = settings.tunnels;
    source.strategy = settings.strategy;
    source.rotate = settings.rotate;
    source.dedup = dedup;
    std::unique_ptr<PcapFilter> filter;
    if (settings.live) {
        auto live = LiveCapture::open(interfaces, snap_length, buffer, p.last(kFilter));
        if (!live) {
            if (live.error().kind == CallError::Kind::ValueError) usage(live.error().message);
            throw std::move(live).error();
        }
        source.live = std::move(live).value();
    } else {
        filter = pcap_filter(p);
        source.filter = filter.get();
        source.stream.emplace(0);
    }
    if (::mkdir(store_path.c_str(), 0777) != 0 && errno != EEXIST) return fail(os_error(errno), store_path);
    UniqueFd dir(::open(store_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return fail(os_error(errno), store_path);
    signal_store_fd = dir.get();
    install_handlers();

    BatchQueue queue;
    std::thread reader([&] { read_source(source, queue); });
    Store store(dir.get(), store_path, settings, source);
    store.update_catalog();
    Status<CallError> status;
    uint64_t taken = 0;
    std::vector<Batch> batches;
    for (;;) {
        const bool open = queue.take(batches, kWaitMs);
        for (const Batch& batch : batches) {
            taken += batch.packets.size();
            for (size_t i = 0; status && i < batch.packets.size(); ++i)
                status = store.add(batch.packets[i], batch.flows[i], *batch.format);
            store.count_duplicates(batch.duplicates);
        }
        // Their frames are lent to the archive's buffer until it is written out.
        if (status) status = store.flush();
        if (status) status = store.tick();
        if (!status) {
            // Reading goes on until it sees the stop, and what it read is counted as lost.
            store.abandon();
            stop_signal = SIGTERM;
        }
        queue.recycle(batches);
        if (!open) break;
    }
    if (status) status = store.close();
    if (!status) store.abandon();
    reader.join();
    if (source.warning) message(*source.warning);
    if (auto error = queue.error()) {
        if (filter && filter->rejected()) usage(error->message);
        message(describe(*error));
        return kFailure;
    }
    if (!status) {
        message(describe(status.error()));
        message(std::to_string(taken - store.stored()) + " packets were lost");
        return kFailure;
    }
    return 0;
}

}  // namespace

const Command kCaptureCommand = {"capture", kCaptureHelp, "i:s:q",
                                 {{"interface", required_argument, nullptr, 'i'},
                                  {"rotate", required_argument, nullptr, kRotate},
                                  {"rotate-size", required_argument, nullptr, kRotateSize},
                                  {"keep", required_argument, nullptr, kKeep},
                                  {"keep-size", required_argument, nullptr, kKeepSize},
                                  {"strategy", required_argument, nullptr, 's'},
                                  {"tunnels", required_argument, nullptr, kTunnels},
                                  {"dedup", no_argument, nullptr, kDedup},
                                  {"filter", required_argument, nullptr, kFilter},
                                  {"snaplen", required_argument, nullptr, kSnaplen},
                                  {"buffer", required_argument, nullptr, kBuffer},
                                  {"report", required_argument, nullptr, kReport},
                                  {"quiet", no_argument, nullptr, 'q'}},
                                 run_capture, false};

}  // namespace flowsieve::cli
