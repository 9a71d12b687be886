// The split writers' finishing step: each flow file is renamed with one
// call, so a temporary file that vanished must still fail the split and a
// payload file that got no byte must still leave nothing behind; and the
// lock that keeps a second run off the stem's files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "split/writer.hpp"

namespace {

using namespace flowsieve;
namespace fs = std::filesystem;

ParsedPacket frame(size_t size, std::optional<uint64_t> payload_offset) {
    auto storage = std::make_shared<std::vector<uint8_t>>(size, 0xAB);
    ParsedPacket p;
    p.incl_len = p.orig_len = uint32_t(size);
    p.data = SharedBytes(storage, storage->data(), size);
    p.payload_offset = payload_offset;
    p.payload_end = size;
    return p;
}

std::set<std::string> listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

class FinishTest : public ::testing::TestWithParam<OutputType> {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("flowsieve-writer-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writer set and flow numbers, as the split's reading thread keeps them.
    struct Split {
        std::unique_ptr<FlowWriterSet> set;
        FlowTable keys;
        std::vector<ParsedPacket> packets;  // written out from where they lie, so kept until finished

        Status<> write(std::string_view key, ParsedPacket p) {
            uint32_t flow = keys.find(key);
            if (flow == FlowTable::kAbsent) flow = keys.insert(key);
            packets.push_back(std::move(p));
            return set->write_packet(flow, key, packets.back());
        }
        Status<> finish() { return set->finish(keys); }
    };

    Split writers(uint32_t max_sessions) {
        WriterSetOptions o;
        o.output_dir = dir_.string();
        o.stem = "cap";
        o.output_type = GetParam();
        o.max_sessions = max_sessions;
        fs::create_directories(dir_);
        auto set = FlowWriterSet::create(o);
        EXPECT_TRUE(set.ok());
        return Split{std::move(set).value(), {}, {}};
    }
    std::string ext() const { return GetParam() == OutputType::Pcap ? ".pcap" : ".l7"; }

    fs::path dir_;
};

TEST_P(FinishTest, VanishedTemporaryFileFailsTheSplit) {
    for (uint32_t max_sessions : {1u, 10u}) {  // closed early by the open limit, or still open
        SCOPED_TRACE(max_sessions);
        auto split = writers(max_sessions);
        for (const char* key : {"a", "b", "c"}) ASSERT_TRUE(split.write(key, frame(60, 14)).ok());
        // With b still open, finishing writes into the removed file and its rename finds nothing.
        fs::remove(dir_ / (".cap_b" + ext() + ".tmp"));
        auto finished = split.finish();
        ASSERT_FALSE(finished.ok());
        EXPECT_EQ(finished.error().message, "No such file or directory (os error 2)");
        // The lock is held until the set is gone, for a discard of this run's files.
        EXPECT_EQ(listing(dir_), (std::set<std::string>{"cap_a" + ext(), ".cap_c" + ext() + ".tmp", ".cap.lock.tmp"}));
        fs::remove_all(dir_);
    }
}

TEST_P(FinishTest, OneRunAtATimeWritesAStemsFiles) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / ".cap.lock.tmp") << "left by a run that crashed";
    auto first = writers(10);
    ASSERT_TRUE(first.write("a", frame(60, 14)).ok());
    EXPECT_EQ(listing(dir_), (std::set<std::string>{".cap.lock.tmp", ".cap_a" + ext() + ".tmp"}));
    WriterSetOptions o;
    o.output_dir = dir_.string();
    o.stem = "cap";
    auto second = FlowWriterSet::create(o);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().message, "Another run is writing the files of cap in " + dir_.string());
    o.stem = "other";
    EXPECT_TRUE(FlowWriterSet::create(o).ok());
    ASSERT_TRUE(first.finish().ok());
    EXPECT_EQ(listing(dir_), std::set<std::string>{"cap_a" + ext()});
    o.stem = "cap";
    EXPECT_TRUE(FlowWriterSet::create(o).ok());  // free again
}

TEST_P(FinishTest, PayloadFilesWithoutBytesLeaveNothing) {
    auto split = writers(1);  // every flow is closed and reopened in turn
    ASSERT_TRUE(split.write("empty", frame(60, 60)).ok());   // payload offset at the end
    ASSERT_TRUE(split.write("none", frame(60, std::nullopt)).ok());
    ASSERT_TRUE(split.write("late", frame(60, 60)).ok());
    ASSERT_TRUE(split.write("late", frame(60, 54)).ok());   // six bytes after a reopen
    ASSERT_TRUE(split.write("empty", frame(60, 60)).ok());
    ASSERT_TRUE(split.finish().ok());
    if (GetParam() == OutputType::L7) {
        EXPECT_EQ(listing(dir_), std::set<std::string>{"cap_late.l7"});
        EXPECT_EQ(fs::file_size(dir_ / "cap_late.l7"), 6u);
    } else {
        EXPECT_EQ(listing(dir_), (std::set<std::string>{"cap_empty.pcap", "cap_late.pcap", "cap_none.pcap"}));
    }
}

INSTANTIATE_TEST_SUITE_P(OutputTypes, FinishTest, ::testing::Values(OutputType::Pcap, OutputType::L7));

}  // namespace
