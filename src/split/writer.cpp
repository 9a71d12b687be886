#include "split/writer.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "flow/strategy.hpp"
#include "parser/pcap_format.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"

namespace flowsieve {
namespace {

// Files are written under a hidden name and renamed when the split succeeds.
std::string temporary_name(const std::string& final_name) { return "." + final_name + ".tmp"; }

// Unlike every flow file of the stem ("STEM_KEY.EXT"), it has no "_" after the stem.
std::string lock_name(const std::string& stem) { return "." + stem + ".lock.tmp"; }

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;  // trailing slashes
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return "";
    while (slash > 0 && path[slash - 1] == '/') --slash;
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Status<> create_directories(const std::string& path) {
    if (path.empty()) return {};
    if (path.find('\0') != std::string::npos) return Error{kNulInPath};
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err != ENOENT) {
        if (is_directory(path)) return {};
        return os_error(err);
    }
    std::string parent = parent_of(path);
    if (parent.empty() || parent == path) return os_error(err);
    if (auto st = create_directories(parent); !st) return st;
    if (::mkdir(path.c_str(), 0777) == 0 || is_directory(path)) return {};
    return os_error(errno);
}

FlowWriterSet::FlowWriterSet(WriterSetOptions options, UniqueFd dir, UniqueFd lock)
    : options_(std::move(options)),
      file_header_(options_.frame_format.file_header()),
      pcapng_(options_.frame_format.pcapng()),
      nanoseconds_(options_.frame_format.nanoseconds),
      snap_length_(options_.frame_format.snap_length),
      dir_(std::move(dir)),
      lock_(std::move(lock)),
      background_(options_.buffer_bytes) {}

Result<std::unique_ptr<FlowWriterSet>> FlowWriterSet::create(WriterSetOptions options) {
    const std::string& dir = options.output_dir.empty() ? std::string(".") : options.output_dir;
    // A path handle: creating files inside needs write and search
    // permission on the directory, not read permission.
    UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return os_error(errno);
    auto lock = create_held(fd.get(), lock_name(options.stem).c_str(), O_RDONLY);
    if (!lock && lock.error() == EBUSY) return Error{"Another run is writing the files of " + options.stem + " in " + dir};
    if (!lock) return os_error(lock.error());
    return std::unique_ptr<FlowWriterSet>(new FlowWriterSet(std::move(options), std::move(fd), std::move(lock).value()));
}

FlowWriterSet::~FlowWriterSet() {
    while (oldest_) (void)close_writer(*oldest_);
    (void)background_.wait();
    release_lock();
}

// Removed while still held, so that no run can take the name for its own
// before it is gone.
void FlowWriterSet::release_lock() {
    if (!lock_.valid()) return;
    const std::string name = lock_name(options_.stem);
    if (names_file(dir_.get(), name.c_str(), lock_.get())) ::unlinkat(dir_.get(), name.c_str(), 0);
    lock_.reset();
}

void FlowWriterSet::unlink_lru(Writer& w) {
    (w.older ? w.older->newer : oldest_) = w.newer;
    (w.newer ? w.newer->older : newest_) = w.older;
    w.older = w.newer = nullptr;
}

void FlowWriterSet::push_newest(Writer& w) {
    w.older = newest_;
    w.newer = nullptr;
    (newest_ ? newest_->newer : oldest_) = &w;
    newest_ = &w;
}

FlowWriterSet::Writer* FlowWriterSet::take_free_writer() {
    if (!free_writers_.empty()) {
        Writer* w = free_writers_.back();
        free_writers_.pop_back();
        return w;
    }
    auto w = std::make_unique<Writer>(options_.buffer_bytes);
    writers_.push_back(std::move(w));
    return writers_.back().get();
}

// Returns a writer whose file is closed or never made it into the tables.
void FlowWriterSet::release_writer(Writer& w) {
    w.fd.reset();
    w.buffer.clear();
    free_writers_.push_back(&w);
}

// Closes an open writer once its buffer is written out, here or in the
// background; a failure is returned after the writer is released, since
// its data would otherwise be lost unseen.
Status<> FlowWriterSet::close_writer(Writer& w) {
    Status<> flushed;
    if (write_here(w)) {
        flushed = w.buffer.flush(w.fd.get());  // closed on release
    } else {
        flushed = background_.close(std::move(w.fd), w.buffer);
        last_job_[w.file] = background_.jobs();
    }
    unlink_lru(w);
    open_writers_[w.file] = nullptr;
    --open_count_;
    release_writer(w);
    return flushed;
}

bool FlowWriterSet::write_here(const Writer& w) const {
    return background_.behind() && background_.done_through(last_job_[w.file]);
}

Status<> FlowWriterSet::flush(Writer& w) {
    if (write_here(w)) return w.buffer.flush(w.fd.get());
    Status<> st = background_.write(w.fd.get(), w.buffer);
    last_job_[w.file] = background_.jobs();
    return st;
}

// The buffer never writes itself out: a full one goes out by `flush`. A
// piece too large for any buffer goes to the background thread lent whole,
// or is written here when `write_here` says so; such a piece to copy (only
// under a tiny buffer) is written here once the file's queued bytes are out.
Status<> FlowWriterSet::put(Writer& w, const uint8_t* data, size_t size, bool lend) {
    if (size > w.buffer.room()) {
        if (auto st = flush(w); !st) return st;
        if (size > w.buffer.room()) {
            if (lend && !write_here(w)) {
                Status<> st = background_.write_lent(w.fd.get(), data, size);
                last_job_[w.file] = background_.jobs();
                return st;
            }
            if (!lend && !background_.done_through(last_job_[w.file]))
                if (auto st = background_.wait(); !st) return st;
            return write_all(w.fd.get(), data, size);
        }
    }
    return lend ? w.buffer.write(w.fd.get(), data, size) : w.buffer.write_copy(w.fd.get(), data, size);
}

Status<> FlowWriterSet::write_record(Writer& w, const ParsedPacket& p) {
    if (options_.output_type == OutputType::Pcap && !pcapng_) {
        uint8_t header[kPcapRecordHeaderSize];
        encode_pcap_record_header(header, p.ts_sec, nanoseconds_ ? p.ts_nsec() : p.ts_usec, p.incl_len, p.orig_len);
        if (auto st = put(w, header, sizeof header, false); !st) return st;
        return put(w, p.data.data(), p.data.size(), true);
    }
    if (options_.output_type == OutputType::Pcap) {
        const FrameFileFormat& format = options_.frame_format;
        uint8_t head[FrameFileFormat::kMaxRecordHead];
        const size_t head_size = format.record_head(head, p.time(), p.incl_len, p.orig_len, p.link_type);
        if (auto st = put(w, head, head_size, false); !st) return st;
        if (auto st = put(w, p.data.data(), p.data.size(), true); !st) return st;
        uint8_t tail[FrameFileFormat::kMaxRecordTail];
        return put(w, tail, format.record_tail(tail, p.incl_len), false);
    }
    if (!p.payload_offset) return {};
    size_t offset = size_t(*p.payload_offset);
    return put(w, p.data.data() + offset, size_t(p.payload_end) - offset, true);
}

std::string FlowWriterSet::final_name(std::string_view sanitized_key) const {
    const char* ext = options_.output_type == OutputType::Pcap ? options_.frame_format.extension() : ".l7";
    return options_.stem + "_" + std::string(sanitized_key) + ext;
}

// STEM_KEY[_N].SENDER.stream for the side of a connection, where N counts
// the connections of the flow from 2 and SENDER is the sending address and
// port made safe as keys are; STEM_KEY.stream for a flow that is not TCP.
std::string FlowWriterSet::stream_name(std::string_view sanitized_key, const StreamFile& file) const {
    std::string name = options_.stem + "_" + std::string(sanitized_key);
    if (file.connection) name += "_" + std::to_string(file.connection + 1);
    if (file.sender) {
        FlowKey sender;
        append_address(sender, file.sender->address);
        sender.push('_');
        sender.append(std::to_string(file.sender->port));
        sanitize_key(sender.data(), sender.text().size());
        name += ".";
        name += sender.text();
    }
    return name + ".stream";
}

// Opens the flow's temporary file: created afresh for a new flow (a stale
// one there is removed, never written through), and reopened for appending
// when the open limit closed it earlier. When the process runs out of
// descriptors, the files closing in the background are let close first,
// then the least recently used file is closed, and the open retried.
Status<> FlowWriterSet::open_file(uint32_t file, const std::string& name, bool create, Writer*& out) {
    const std::string tmp = temporary_name(name);
    UniqueFd fd;
    bool settled = false;  // no close handed over is pending
    for (;;) {
        auto opened = create ? create_afresh(dir_.get(), tmp.c_str(), O_WRONLY)
                             : open_regular_for_writing(dir_.get(), tmp.c_str(), O_APPEND);
        if (opened) {
            fd = std::move(opened).value();
            break;
        }
        const int err = opened.error();
        if ((err == EMFILE || err == ENFILE) && !settled) {
            if (auto st = background_.wait(); !st) return st;
            settled = true;
            continue;
        }
        if ((err == EMFILE || err == ENFILE) && oldest_) {
            if (auto st = close_writer(*oldest_); !st) return st;
            settled = false;
            continue;
        }
        return in_output_dir(os_error(err), tmp);
    }
    Writer* w = take_free_writer();
    w->fd = std::move(fd);
    w->file = file;
    if (create && options_.output_type == OutputType::Pcap) {
        if (auto st = put(*w, file_header_.data(), file_header_.size(), false); !st) {
            release_writer(*w);
            return st;
        }
    }
    out = w;
    return {};
}

template <class Name>
Result<FlowWriterSet::Writer*> FlowWriterSet::writer_for(uint32_t file, Name&& name) {
    if (open_count_ >= options_.max_sessions && oldest_)
        if (auto st = close_writer(*oldest_); !st) return std::move(st).error();
    const bool create = file >= open_writers_.size();
    if (file >= last_job_.size()) last_job_.resize(size_t(file) + 1);
    if (!create && open_writers_[file]) {
        Writer& w = *open_writers_[file];
        unlink_lru(w);
        push_newest(w);
        return &w;
    }
    Writer* w = nullptr;
    if (auto st = open_file(file, name(), create, w); !st) return std::move(st).error();
    if (create) open_writers_.resize(size_t(file) + 1);
    open_writers_[file] = w;
    push_newest(*w);
    ++open_count_;
    return w;
}

Status<> FlowWriterSet::write_packet(uint32_t flow, std::string_view key, const ParsedPacket& packet) {
    if (flow >= flow_count_) flow_count_ = flow + 1;
    if (options_.output_type == OutputType::Stream) return write_stream(flow, key, packet);
    longest_ = std::max(longest_, packet.incl_len);
    const bool payload = packet.payload_offset && *packet.payload_offset < packet.payload_end;
    auto w = writer_for(flow, [&] { return final_name(key); });
    if (!w) return std::move(w).error();
    if (flow >= has_payload_.size()) has_payload_.resize(size_t(flow) + 1);
    if (payload) has_payload_[flow] = true;
    return write_record(*w.value(), packet);
}

// Hands a flow's reassembled bytes to its files.
class FlowWriterSet::StreamWriter final : public StreamSink {
public:
    StreamWriter(FlowWriterSet& set, uint32_t flow, std::string_view key) : set_(set), flow_(flow), key_(key) {}
    Status<> bytes(uint32_t connection, const Endpoint& sender, bool initiator, const uint8_t* data,
                   size_t size) override {
        return set_.write_stream_bytes(flow_, key_, connection, sender, initiator, data, size);
    }
    Status<> gap(uint32_t connection, const Endpoint& sender, bool, uint64_t offset, uint64_t missing) override {
        set_.holes_.push_back({set_.stream_name(key_, {flow_, connection, sender}), offset, missing});
        return {};
    }

private:
    FlowWriterSet& set_;
    uint32_t flow_;
    std::string_view key_;
};

Status<> FlowWriterSet::write_stream(uint32_t flow, std::string_view key, const ParsedPacket& packet) {
    if (flow >= stream_flows_.size()) stream_flows_.resize(size_t(flow) + 1);
    StreamFlow& f = stream_flows_[flow];
    const bool tcp = packet.ip && packet.ip->protocol == kIpProtoTcp;
    if (!tcp) {
        if (!packet.payload_offset || *packet.payload_offset >= packet.payload_end) return {};
        const size_t offset = size_t(*packet.payload_offset);
        return write_stream_bytes(flow, key, 0, std::nullopt, true, packet.data.data() + offset,
                                  size_t(packet.payload_end) - offset);
    }
    // A TCP packet without a readable header (a later fragment) cannot be placed.
    const auto segment = tcp_segment(packet);
    if (!segment) return {};
    if (!f.tcp) f.tcp = std::make_unique<TcpReassembler>(TcpReassembler::kDefaultWaitLimit, options_.fill_gaps);
    StreamWriter sink(*this, flow, key);
    return f.tcp->add(source_of(packet), destination_of(packet), *segment, sink);
}

Status<> FlowWriterSet::write_stream_bytes(uint32_t flow, std::string_view key, uint32_t connection,
                                           const std::optional<Endpoint>& sender, bool initiator,
                                           const uint8_t* data, size_t size) {
    StreamFlow& f = stream_flows_[flow];
    if (connection != f.connection) {
        f.connection = connection;
        f.files[0] = f.files[1] = kNoFile;
    }
    uint32_t& file = f.files[initiator ? 0 : 1];
    if (file == kNoFile) {
        file = uint32_t(stream_files_.size());
        stream_files_.push_back({flow, connection, sender});
    }
    auto w = writer_for(file, [&] { return stream_name(key, stream_files_[file]); });
    if (!w) return std::move(w).error();
    return put(*w.value(), data, size, true);
}

// Bytes still waiting go out once every packet is in; the keys are those
// the packets came with.
Status<> FlowWriterSet::finish_streams(const FlowTable& keys) {
    uint32_t flow = 0;
    Status<> result;
    keys.for_each_key([&](std::string_view key) {
        if (flow < stream_flows_.size() && stream_flows_[flow].tcp) {
            TcpReassembler& tcp = *stream_flows_[flow].tcp;
            StreamWriter sink(*this, flow, key);
            result = tcp.finish(sink);
            gaps_ += tcp.gaps();
        }
        return ++flow < stream_flows_.size() && result.ok();
    });
    return result;
}

template <class F>
void FlowWriterSet::for_each_file(const FlowTable& keys, F f) const {
    if (options_.output_type != OutputType::Stream) {
        uint32_t flow = 0;
        keys.for_each_key([&](std::string_view key) { return f(flow++, final_name(key)); });
        return;
    }
    std::vector<std::string_view> by_flow;
    keys.for_each_key([&](std::string_view key) {
        by_flow.push_back(key);
        return true;
    });
    for (uint32_t file = 0; file < stream_files_.size(); ++file) {
        const StreamFile& s = stream_files_[file];
        if (s.flow < by_flow.size() && !f(file, stream_name(by_flow[s.flow], s))) return;
    }
}

Error FlowWriterSet::in_output_dir(Error e, const std::string& name) const {
    e.path = options_.output_dir.empty() ? name : options_.output_dir + "/" + name;
    return e;
}

uint64_t FlowWriterSet::discard(const FlowTable& keys) {
    (void)background_.wait();  // nothing writes to the files any more
    while (Writer* w = oldest_) {
        unlink_lru(*w);
        open_writers_[w->file] = nullptr;
        --open_count_;
        release_writer(*w);
    }
    // Only the flows whose files this set created, while it holds the
    // stem's lock: no other run makes files of these names meanwhile.
    uint64_t removed = 0;
    for_each_file(keys, [&](uint32_t file, const std::string& name) {
        if (file >= open_writers_.size()) return false;
        if (::unlinkat(dir_.get(), temporary_name(name).c_str(), 0) == 0) ++removed;
        return true;
    });
    return removed;
}

// Rewrites the file header of a closed pcap file to state a larger snap
// length; the header keeps its size.
Status<> FlowWriterSet::state_snap_length(const std::string& tmp, uint32_t snap_length) {
    FrameFileFormat format = options_.frame_format;
    format.snap_length = snap_length;
    const std::vector<uint8_t> header = format.file_header();
    auto opened = open_regular_for_writing(dir_.get(), tmp.c_str(), 0);
    if (!opened) return os_error(opened.error());
    if (::pwrite(opened->get(), header.data(), header.size(), 0) != ssize_t(header.size())) return os_error(errno);
    return {};
}

Status<> FlowWriterSet::finish(const FlowTable& keys, const std::function<void()>& written) {
    if (options_.output_type == OutputType::Stream)
        if (auto st = finish_streams(keys); !st) return st;
    // Every file is written out and closed before any gets its name.
    while (oldest_)
        if (auto st = close_writer(*oldest_); !st) return st;
    if (auto st = background_.wait(); !st) return st;
    if (written) written();

    // One call per file: a payload file that got no byte is deleted. A
    // temporary file that vanished is an error: its flow would be missing.
    Status<> result;
    for_each_file(keys, [&](uint32_t file, const std::string& name) {
        const std::string tmp = temporary_name(name);
        const bool got_bytes = file < has_payload_.size() && has_payload_[file];
        if (options_.output_type == OutputType::L7 && !got_bytes) {
            ::unlinkat(dir_.get(), tmp.c_str(), 0);
            return true;
        }
        if (longest_ > snap_length_ && options_.output_type == OutputType::Pcap)
            if (auto st = state_snap_length(tmp, longest_); !st) {
                result = in_output_dir(st.error(), tmp);
                return false;
            }
        if (auto st = place_file(dir_.get(), tmp, name); !st) {
            Error e = in_output_dir(st.error(), name);
            if (e.message == kNotRegularFile) e.message += ": " + e.path;
            result = std::move(e);
            return false;  // the flows not yet placed keep their temporary names
        }
        return true;
    });
    // After a failure the set holds the lock on, so that `discard` removes
    // only files of this run; the destructor releases it.
    if (result) release_lock();
    return result;
}

}  // namespace flowsieve
