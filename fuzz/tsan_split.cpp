// Drives the split and the archive builder (each a reader thread feeding the
// writing thread) for ThreadSanitizer: a generated capture several times larger than the
// packet queue, so that both sides wait on each other; the same capture cut
// inside a record, so that the reader stops on an error; a run stopped by
// its progress observer while the reader waits on a full queue; and any
// captures named on the command line, under every strategy (split) and the
// session strategy (archive). Exits non-zero
// when a split does not end as expected; a race report ends the process.
//
//   tsan_split [CAPTURE_OR_DIR...]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common.hpp"
#include "archive/writer.hpp"
#include "split/driver.hpp"

using namespace flowsieve;
namespace fs = std::filesystem;

namespace {

void put_u32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char(v >> 8 * i));
}

// Ethernet, IPv4, UDP: `count` packets spread over `flows` host pairs.
std::string generated_capture(uint32_t count, uint32_t flows) {
    std::string f;
    for (uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, 1u}) put_u32(f, v);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t flow = i % flows;
        std::string frame = {0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 0x08, 0x00};
        const uint8_t ip[20] = {0x45, 0, 0, 36, 0, 0, 0, 0, 64, 17, 0, 0,
                                10, 0, uint8_t(flow >> 8), uint8_t(flow), 10, 1, 0, 1};
        frame.append(reinterpret_cast<const char*>(ip), sizeof ip);
        const uint8_t udp[16] = {uint8_t(flow >> 8), uint8_t(flow), 0, 53, 0, 16, 0, 0, 'p', 'a', 'y', 'l', 'o', 'a', 'd', '!'};
        frame.append(reinterpret_cast<const char*>(udp), sizeof udp);
        for (uint32_t v : {i, 0u, uint32_t(frame.size()), uint32_t(frame.size())}) put_u32(f, v);
        f += frame;
    }
    return f;
}

struct StopAtOnce : ProgressObserver {
    bool keep_going(const Progress&) override { return false; }
};

// Keeps the last report, which a finished run makes after its last packet.
struct LastReport : ProgressObserver {
    Progress last;
    bool keep_going(const Progress& p) override {
        last = p;
        return true;
    }
};

int failures = 0;
int runs = 0;

void expect(bool ok, const std::string& what, const Status<SplitError>& st) {
    ++runs;
    if (ok) return;
    ++failures;
    std::printf("FAILED: %s: %s\n", what.c_str(), st.ok() ? "succeeded" : st.error().message.c_str());
}

Status<SplitError> split(const fs::path& input, const char* strategy, uint32_t max_sessions,
                         ProgressObserver* observer = nullptr, const char* output_type = "pcap",
                         size_t buffer_bytes = 10000) {
    const fs::path out = fuzzing::scratch() / "out";
    fs::remove_all(out);
    SplitOptions o;
    o.input_path = input;
    o.output_dir = out;
    o.strategy = fuzzing::choice(strategy);
    o.max_sessions = max_sessions;
    o.observer = observer;
    o.output_type = fuzzing::choice(output_type);
    o.buffer_bytes = buffer_bytes;
    return split_capture(o);
}

Status<CallError> build(const fs::path& input, ProgressObserver* observer = nullptr) {
    archive::BuildOptions o;
    o.input_path = input;
    o.output_path = fuzzing::scratch() / "out.fsieve";
    o.observer = observer;
    return archive::build_archive(o);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = fuzzing::fresh_scratch();
    const std::string big = generated_capture(20000, 300);
    const fs::path whole = dir / "generated.pcap", cut = dir / "cut.pcap";
    fuzzing::write_file(whole, reinterpret_cast<const uint8_t*>(big.data()), big.size());
    fuzzing::write_file(cut, reinterpret_cast<const uint8_t*>(big.data()), big.size() - 10);

    for (int round = 0; round < 3; ++round) {
        for (const char* strategy : {"session", "host", "nosplit"}) {
            expect(split(whole, strategy, 10000).ok(), std::string("generated, ") + strategy, {});
            auto st = split(cut, strategy, 16);
            expect(!st.ok() && st.error().kind == CallError::Kind::RuntimeError, std::string("cut, ") + strategy, st);
        }
        // Small buffers: the writing thread and the one beside it both write.
        for (const char* type : {"pcap", "stream"})
            expect(split(whole, "session", 16, nullptr, type, 600).ok(), std::string("small buffers, ") + type, {});
        StopAtOnce stop;
        auto st = split(whole, "session", 10000, &stop);
        expect(!st.ok() && st.error().kind == CallError::Kind::Interrupted, "stopped by the observer", st);
        LastReport split_report, build_report;
        expect(split(whole, "session", 10000, &split_report).ok(), "split with progress", {});
        expect(build(whole, &build_report).ok(), "archive with progress", {});
        for (const Progress* p : {&split_report.last, &build_report.last})
            expect(p->bytes_read == big.size() && p->packets == 20000 && p->flows == 300, "last report counts all", {});
        st = build(cut);
        expect(!st.ok() && st.error().kind == CallError::Kind::RuntimeError, "archive, cut", st);
        st = build(whole, &stop);
        expect(!st.ok() && st.error().kind == CallError::Kind::Interrupted, "archive stopped by the observer", st);
    }

    std::vector<fs::path> captures;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const auto& e : fs::directory_iterator(argv[i]))
                if (e.path().extension() == ".pcap" || e.path().extension() == ".pcapng" || e.path().extension() == ".cap")
                    captures.push_back(e.path());
        } else {
            captures.push_back(argv[i]);
        }
    }
    // These end as they end; any failure here is the capture's, not a race.
    for (const fs::path& capture : captures) {
        for (const char* strategy : fuzzing::kStrategies) {
            auto st = split(capture, strategy, 4);
            expect(st.ok() || st.error().kind == CallError::Kind::RuntimeError, capture.string() + ", " + strategy, st);
        }
        auto st = build(capture);
        expect(st.ok() || st.error().kind == CallError::Kind::RuntimeError, capture.string() + ", archive", st);
    }
    std::printf("tsan_split: %d runs ended as expected, %d did not\n", runs - failures, failures);
    return failures ? 1 : 0;
}
