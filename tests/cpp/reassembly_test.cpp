// The reassembly rules, each a generated sequence of segments and the
// streams it must give.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "flow/reassembly.hpp"

namespace {

using namespace flowsieve;

// Sent by the client (side 0 of the tuple) or the server.
struct Seg {
    bool client;
    uint32_t seq;
    uint8_t flags;
    std::string data;
    uint32_t ack = 0;
};

constexpr uint8_t S = kTcpSyn, SA = kTcpSyn | kTcpAck, A = kTcpAck, F = kTcpFin | kTcpAck, R = kTcpRst;

struct Case {
    const char* name;
    std::vector<Seg> segments;
    // "connection/i" and "connection/r": what the client and the server sent.
    std::map<std::string, std::string> streams;
    StreamGaps gaps = {};
    size_t wait_limit = TcpReassembler::kDefaultWaitLimit;
};

struct Collect final : StreamSink {
    std::map<std::string, std::string> streams;
    std::map<std::string, Endpoint> senders;
    Status<> bytes(uint32_t connection, const Endpoint& sender, bool initiator, const uint8_t* data,
                   size_t size) override {
        const std::string key = std::to_string(connection) + (initiator ? "/i" : "/r");
        // A side's bytes all come from one endpoint.
        if (!senders.emplace(key, sender).second) EXPECT_TRUE(senders[key] == sender) << key;
        streams[key].append(reinterpret_cast<const char*>(data), size);
        return {};
    }
};

const std::vector<Case> kCases = {
    {"in order", {{1, 10, S, ""}, {0, 70, SA, ""}, {1, 11, A, "abc"}, {0, 71, A, "xy"}, {1, 14, A, "def"}},
     {{"0/i", "abcdef"}, {"0/r", "xy"}}},
    {"retransmission once", {{1, 10, S, ""}, {1, 11, A, "abc"}, {1, 11, A, "abc"}, {1, 12, A, "bcd"}},
     {{"0/i", "abcd"}}},
    {"reordered", {{1, 10, S, ""}, {1, 14, A, "def"}, {1, 17, A, "g"}, {1, 11, A, "abc"}}, {{"0/i", "abcdefg"}}},
    {"overlap keeps the first bytes",
     {{1, 10, S, ""}, {1, 15, A, "FGH"}, {1, 13, A, "dexyz"}, {1, 11, A, "ab"}, {1, 11, A, "QQQQQQQ"}},
     {{"0/i", "abdeFGH"}}},
    {"overlap with delivered bytes", {{1, 10, S, ""}, {1, 11, A, "abc"}, {1, 12, A, "XYd"}}, {{"0/i", "abcd"}}},
    {"lost segment jumped at the end", {{1, 10, S, ""}, {1, 11, A, "ab"}, {1, 16, A, "fg"}}, {{"0/i", "abfg"}},
     {1, 3}},
    {"gap declared past the bound",
     {{1, 10, S, ""}, {1, 11, A, "a"}, {1, 14, A, "dd"}, {1, 16, A, "ee"}, {1, 13, A, "c"}},
     {{"0/i", "addee"}}, {1, 2}, 3},
    {"sequence wrap",
     {{1, 0xFFFFFFFD, S, ""}, {1, 0xFFFFFFFE, A, "ab"}, {1, 2, A, "ef"}, {1, 0, A, "cd"}, {1, 0xFFFFFFFF, A, "b"}},
     {{"0/i", "abcdef"}}},
    {"mid-connection start", {{0, 500, A, "late"}, {1, 9, A, "x"}, {0, 504, A, "r"}},
     {{"0/i", "later"}, {"0/r", "x"}}},
    {"a SYN-ACK seen first answers the other side", {{0, 70, SA, ""}, {1, 11, A, "ab"}, {0, 71, A, "xy"}},
     {{"0/i", "ab"}, {"0/r", "xy"}}},
    {"keep-alive and zero-window probes add nothing",
     {{1, 10, S, ""}, {1, 11, A, "abc"}, {1, 13, A, std::string(1, '\0')}, {1, 13, A, ""}, {1, 14, A, "d"}, {1, 14, A, "de"}},
     {{"0/i", "abcde"}}},
    {"reuse after FIN from both sides",
     {{1, 10, S, ""}, {0, 70, SA, ""}, {1, 11, A, "one"}, {1, 14, F, ""}, {0, 71, F, ""}, {1, 900, S, ""},
      {0, 5, SA, ""}, {1, 901, A, "two"}, {0, 6, A, "2"}},
     {{"0/i", "one"}, {"1/i", "two"}, {"1/r", "2"}}},
    {"reuse after RST", {{1, 10, S, ""}, {1, 11, A, "one"}, {0, 0, R, ""}, {1, 12, S, ""}, {1, 13, A, "two"}},
     {{"0/i", "one"}, {"1/i", "two"}}},
    {"the other side opens the next connection",
     {{1, 10, S, ""}, {1, 11, A, "one"}, {0, 0, R, ""}, {0, 500, S, ""}, {1, 40, SA, ""}, {0, 501, A, "rev"},
      {1, 41, A, "back"}},
     {{"0/i", "one"}, {"1/i", "rev"}, {"1/r", "back"}}},
    {"a SYN far outside the window, answered",
     {{1, 10, S, ""}, {1, 11, A, "one"}, {1, 90000, S, "tfo"}, {0, 5, SA, "", 90004}, {1, 90004, A, "two"}},
     {{"0/i", "one"}, {"1/i", "tfotwo"}}, {}, 100},
    {"a far SYN unanswered opens nothing; bytes before a stream's start are in none",
     {{1, 10, S, ""}, {0, 70, SA, ""}, {1, 11, A, "one"}, {1, 90000, S, "syn"}, {0, 5, SA, "", 12345},
      {1, 14, A, "two"}, {0, 71, A, "ok"}, {1, 5, A, "old"}},
     {{"0/i", "onetwo"}, {"0/r", "ok"}}, {0, 0, 0, 6}, 100},
    {"FIN and RST outside the window end nothing",
     {{1, 10, S, ""}, {0, 70, SA, ""}, {1, 11, A, "ab"}, {1, 90000, F, ""}, {0, 50000, R, ""}, {1, 200, S, ""},
      {1, 13, A, "cd"}},
     {{"0/i", "abcd"}}, {}, 100},
    {"a stream ends at its FIN",
     {{1, 10, S, ""}, {1, 11, A, "ab"}, {1, 16, A, "zz"}, {1, 13, F, "c"}, {1, 15, A, "late"}, {0, 70, A, "x"},
      {0, 75, F, ""}},
     {{"0/i", "abc"}, {"0/r", "x"}}, {1, 4, 6, 0}},
    {"a retransmitted SYN is the same connection", {{1, 10, S, ""}, {1, 10, S, ""}, {1, 11, A, "one"}},
     {{"0/i", "one"}}},
    {"waiting bytes end with their connection",
     {{1, 10, S, ""}, {1, 11, A, "a"}, {1, 13, A, "c"}, {0, 0, R, ""}, {1, 50, S, ""}, {1, 51, A, "new"}},
     {{"0/i", "ac"}, {"1/i", "new"}}, {1, 1}},
};

TEST(Reassembly, Rules) {
    const Endpoint client{IpAddress{4, {10, 0, 0, 1}}, 1234};
    const Endpoint server{IpAddress{4, {10, 0, 0, 2}}, 80};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TcpReassembler r(c.wait_limit);
        Collect sink;
        for (const Seg& s : c.segments) {
            TcpSegment t{s.seq, s.ack, s.flags, reinterpret_cast<const uint8_t*>(s.data.data()), s.data.size()};
            ASSERT_TRUE(r.add(s.client ? client : server, s.client ? server : client, t, sink).ok());
        }
        ASSERT_TRUE(r.finish(sink).ok());
        EXPECT_EQ(sink.streams, c.streams);
        EXPECT_EQ(r.gaps().connections, c.gaps.connections);
        EXPECT_EQ(r.gaps().bytes, c.gaps.bytes);
        EXPECT_EQ(r.gaps().after_fin, c.gaps.after_fin);
        EXPECT_EQ(r.gaps().in_no_stream, c.gaps.in_no_stream);
    }
}

}  // namespace
