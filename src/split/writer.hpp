// The per-flow output files of one split: found or created by key, written
// through a buffer each, at most `max_sessions` open at once (the least
// recently used is closed first), kept under hidden temporary names until
// `finish` gives them their final names. Full buffers are written out and
// files closed on a thread of the set's own while the caller goes on, and
// by the caller too while that thread is behind. One split at a time
// writes the files of a stem in a directory: it holds a lock file there
// (".STEM.lock.tmp") from `create` to the end of `finish`, so that two runs
// never share a temporary file and any temporary file found is a stale one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packet/packet.hpp"
#include "flow/flow_table.hpp"
#include "flow/reassembly.hpp"
#include "parser/frame_file.hpp"
#include "split/background_writer.hpp"
#include "util/result.hpp"
#include "util/unique_fd.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve {

// Stream: each TCP connection's bytes per sending side, reassembled; the
// payload of other flows in capture order, as L7.
enum class OutputType { Pcap, L7, Stream };

// mkdir -p with permission bits 0777 before the file-creation mask.
Status<> create_directories(const std::string& path);

struct WriterSetOptions {
    std::string output_dir;
    std::string stem;
    FrameFileFormat frame_format;  // of pcap files
    OutputType output_type = OutputType::Pcap;
    size_t buffer_bytes = 10000;
    uint32_t max_sessions = 10000;
    bool fill_gaps = false;  // Stream: bytes never captured written as zeros
};

// Stream: where a file lacks bytes never captured: after its first `offset`
// bytes (zeros that filled holes before included), `missing` bytes.
struct StreamHole {
    std::string file;  // its final name
    uint64_t offset = 0;
    uint64_t missing = 0;
};

class FlowWriterSet {
public:
    // The output directory must exist. Fails when another run holds the
    // stem's lock file.
    static Result<std::unique_ptr<FlowWriterSet>> create(WriterSetOptions options);
    // Discarding without finish flushes (ignoring failures) and closes every
    // open file, leaving all of them under their temporary names; the lock
    // file is removed.
    ~FlowWriterSet();

    // Writes a packet to flow number `flow` (for Stream, to its files).
    // Flows are numbered 0, 1, 2, ...
    // in order of first sight: a flow numbered flow_count() is new. `key` is
    // the flow's sanitized key, of at most FlowTable::kMaxKeyLength bytes.
    // The packet's bytes are written out later, from where they lie: they
    // must stay valid until `finish` calls `written` or returns, or until
    // the set is gone.
    Status<> write_packet(uint32_t flow, std::string_view key, const ParsedPacket& packet);
    uint32_t flow_count() const { return flow_count_; }
    // Flushes and closes every file, calls `written` (when given) once
    // every byte is out, then renames each file to its final name (an
    // empty payload file is deleted instead) and removes the lock file
    // (after a failure, the destructor does); `keys` holds each flow's key
    // by number.
    Status<> finish(const FlowTable& keys, const std::function<void()>& written = {});
    // Closes every file without writing out its buffer and removes the
    // temporary files this set made; how many it removed.
    uint64_t discard(const FlowTable& keys);
    // Stream: the connections that lost bytes; whole once `finish` has run.
    const StreamGaps& gaps() const { return gaps_; }
    // Stream: every hole, by file in the order found; whole once `finish` has run.
    const std::vector<StreamHole>& holes() const { return holes_; }

private:
    // One open file; writers are recycled together with their buffers.
    struct Writer {
        explicit Writer(size_t buffer_bytes) : buffer(buffer_bytes) {}
        UniqueFd fd;
        WriteBuffer buffer;
        uint32_t file = 0;        // number of its file
        Writer* older = nullptr;  // least recently used order
        Writer* newer = nullptr;
    };
    // Stream output: a file of a connection's side, or of a flow that is
    // not TCP (no sender).
    struct StreamFile {
        uint32_t flow;
        uint32_t connection;
        std::optional<Endpoint> sender;
    };
    static constexpr uint32_t kNoFile = UINT32_MAX;
    // Stream output of one flow: its reassembler when it is TCP, and the
    // files of its current connection by side (or its one file).
    struct StreamFlow {
        std::unique_ptr<TcpReassembler> tcp;
        uint32_t connection = 0;
        uint32_t files[2] = {kNoFile, kNoFile};
    };
    class StreamWriter;

    explicit FlowWriterSet(WriterSetOptions options, UniqueFd dir, UniqueFd lock);
    void release_lock();
    std::string final_name(std::string_view sanitized_key) const;
    std::string stream_name(std::string_view sanitized_key, const StreamFile& file) const;
    // The open writer of file number `file`, opened when it is not: created
    // for a number not seen before, reopened otherwise; `name()` gives the
    // final name.
    template <class Name>
    Result<Writer*> writer_for(uint32_t file, Name&& name);
    Status<> write_stream(uint32_t flow, std::string_view key, const ParsedPacket& packet);
    Status<> write_stream_bytes(uint32_t flow, std::string_view key, uint32_t connection,
                                const std::optional<Endpoint>& sender, bool initiator, const uint8_t* data,
                                size_t size);
    Status<> finish_streams(const FlowTable& keys);
    // Calls f(number, final name) for every file made, in order, while f returns true.
    template <class F>
    void for_each_file(const FlowTable& keys, F f) const;
    // The error as one about the file `name` of the output directory.
    Error in_output_dir(Error e, const std::string& name) const;
    Status<> open_file(uint32_t file, const std::string& name, bool create, Writer*& out);
    // Whether the file's bytes are best written out on this thread: the
    // background thread has a backlog, and nothing of the file waits in it.
    bool write_here(const Writer& w) const;
    Status<> flush(Writer& w);
    // Adds a piece to the file: `lend` lends it, otherwise it is copied.
    Status<> put(Writer& w, const uint8_t* data, size_t size, bool lend);
    Status<> write_record(Writer& w, const ParsedPacket& packet);
    Status<> close_writer(Writer& w);
    Status<> state_snap_length(const std::string& tmp, uint32_t snap_length);
    void unlink_lru(Writer& w);
    void push_newest(Writer& w);
    Writer* take_free_writer();
    void release_writer(Writer& w);

    WriterSetOptions options_;
    std::vector<uint8_t> file_header_;  // of every pcap file
    // The format's facts that every record asks for.
    bool pcapng_;
    bool nanoseconds_;
    uint32_t snap_length_;
    UniqueFd dir_;
    UniqueFd lock_;  // held while the set writes
    BackgroundWriter background_;
    // Every flow's open writer by number (none while the open limit keeps
    // it closed). Names are derived from the key when needed, so a flow
    // costs little more than its key.
    std::vector<Writer*> open_writers_;  // by file number, which is the flow's but for Stream
    std::vector<uint64_t> last_job_;      // by file number: the background job last about it
    std::vector<bool> has_payload_;  // by flow number: an l7 file got bytes
    uint32_t flow_count_ = 0;
    std::vector<StreamFlow> stream_flows_;  // by flow number
    std::vector<StreamFile> stream_files_;  // by file number
    StreamGaps gaps_;
    std::vector<StreamHole> holes_;
    // The longest record: where a damaged capture holds records longer than
    // the snap length it states, every file's header is made to state this
    // one before the file gets its name, as the archive of the capture does.
    uint32_t longest_ = 0;
    std::vector<std::unique_ptr<Writer>> writers_;  // every writer ever made
    std::vector<Writer*> free_writers_;
    Writer* oldest_ = nullptr;
    Writer* newest_ = nullptr;
    size_t open_count_ = 0;
};

}  // namespace flowsieve
