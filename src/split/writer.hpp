// The per-flow output files of one split: found or created by key, written
// through a buffer each, at most `max_sessions` open at once (the least
// recently used is closed first), kept under hidden temporary names until
// `finish` gives them their final names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "packet/packet.hpp"
#include "flow/flow_table.hpp"
#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve {

enum class OutputType { Pcap, L7 };

// Makes a key safe as part of a file name, in place: each control
// character, DEL and each of "*./:<>?\| becomes "_".
void sanitize_key(char* key, size_t size);

// mkdir -p with permission bits 0777 before the file-creation mask.
Status<> create_directories(const std::string& path);

struct WriterSetOptions {
    std::string output_dir;
    std::string stem;
    uint32_t link_type = 1;
    OutputType output_type = OutputType::Pcap;
    size_t buffer_bytes = 10000;
    uint32_t max_sessions = 10000;
};

class FlowWriterSet {
public:
    static Result<std::unique_ptr<FlowWriterSet>> create(WriterSetOptions options);
    // Discarding without finish flushes (ignoring failures) and closes every
    // open file, leaving all of them under their temporary names.
    ~FlowWriterSet();

    // The key is at most FlowTable::kMaxKeyLength bytes long.
    Status<> write_packet(std::string_view key, const ParsedPacket& packet);
    uint32_t flow_count() const { return flows_.size(); }
    // Flushes and closes every file, then renames each to its final name
    // (an empty payload file is deleted instead).
    Status<> finish();

private:
    // One open file; writers are recycled together with their buffers.
    struct Writer {
        UniqueFd fd;
        std::unique_ptr<uint8_t[]> buffer;
        size_t used = 0;
        uint32_t flow = 0;        // index in flows_
        Writer* older = nullptr;  // least recently used order
        Writer* newer = nullptr;
    };
    explicit FlowWriterSet(WriterSetOptions options, UniqueFd dir);
    std::string final_name(std::string_view sanitized_key) const;
    Status<> open_file(const std::string& name, bool create, Writer*& out);
    Status<> write_piece(Writer& w, const uint8_t* data, size_t size);
    Status<> flush(Writer& w);
    Status<> write_record(Writer& w, const ParsedPacket& packet);
    Status<> close_writer(Writer& w);
    void unlink_lru(Writer& w);
    void push_newest(Writer& w);
    Writer* take_free_writer();
    void release_writer(Writer& w);

    WriterSetOptions options_;
    UniqueFd dir_;
    // Every flow that got a file, by sanitized key, and its open writer by
    // flow index (none while the open limit keeps it closed). Keys that
    // sanitize alike share one file rather than overwrite each other's.
    // Names are derived from the key when needed, so a flow costs little
    // more than its key.
    FlowTable flows_;
    std::vector<Writer*> open_writers_;
    std::vector<bool> has_payload_;  // by flow index: an l7 file got bytes
    std::vector<std::unique_ptr<Writer>> writers_;  // every writer ever made
    std::vector<Writer*> free_writers_;
    Writer* oldest_ = nullptr;
    Writer* newest_ = nullptr;
    size_t open_count_ = 0;
};

}  // namespace flowsieve
