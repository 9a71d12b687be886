// The server name and the application of a flow, judged by the bytes of
// its first packets: a TLS ClientHello's server name (over TCP, or inside
// QUIC Initial packets), an HTTP/1.x request's Host, a DNS query's name,
// and what the payload is (TLS, QUIC, HTTP, DNS, SSH, BitTorrent). No
// packet is kept: a flow's first client bytes are copied, up to 16 KiB,
// only while a ClientHello or request header is incomplete.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flow/quic_initial.hpp"
#include "packet/packet.hpp"
#include "util/byte_view.hpp"

namespace flowsieve {

enum class App : uint8_t { None, Tls, Quic, Http, Dns, Ssh, Bittorrent };

// "tls", "quic", ...; empty for None.
std::string_view app_name(App app);
// The application of that name; nothing for an unknown one.
std::optional<App> app_of_name(std::string_view name);

// What one payload says.
struct Verdict {
    enum Kind : uint8_t { NotThis, NeedMore, Found } kind = NotThis;
    App app = App::None;
    std::string name;  // empty: none
};

// The dissectors, each on the bytes of one direction from its start (TCP)
// or one datagram (UDP). Exposed for tests of hostile bytes.
Verdict judge_tls(ByteView stream);
Verdict judge_http(ByteView stream);
Verdict judge_dns(ByteView message, bool length_prefix);
// A ClientHello's body: its server name, empty when it has none or its
// lengths lie.
std::string client_hello_name(ByteView body);

// Up to this many bytes of a direction are gathered.
inline constexpr size_t kMaxGathered = 16 * 1024;

// One flow's judgement, fed its packets until done(). What it keeps is a
// few bytes beside the name; the bytes of a message that spans segments and
// a QUIC flow's Initials are held apart, allocated only for such a flow.
class FlowNaming {
public:
    // `from_client`: the packet goes the way of the flow's first packet.
    void add(const ParsedPacket& packet, bool from_client);
    bool done() const { return done_; }
    App app() const { return app_; }
    const std::string& name() const { return name_; }
    std::string take_name() { return std::move(name_); }

private:
    // Where a direction stands.
    struct Direction {
        uint32_t next = 0;   // sequence number of its next byte (TCP)
        uint8_t silent = 0;  // UDP datagrams that said nothing
        bool started = false;
        bool closed = false;
    };
    // A direction's bytes from its start (TCP), while a message that spans
    // segments is wanted; the client's QUIC Initials.
    struct Gathered {
        std::vector<uint8_t> bytes[2];
        QuicInitials quic;
    };
    Gathered& gathered();
    void judge(Verdict&& v, int direction);
    void finish();

    std::string name_;
    std::unique_ptr<Gathered> gathered_;
    Direction directions_[2];
    App app_ = App::None;
    uint8_t payload_packets_ = 0;
    bool done_ = false;
};

// A flow's judgement as a table of flows keeps it: held in place, with
// nothing allocated but for a message that spans packets, QUIC, or a name
// too long to be held in place; once it is over, a flag to test.
class NamingSlot {
public:
    // `first`: the IP layer of the flow's first packet, when it had one.
    void add(const ParsedPacket& p, const std::optional<IpTuple>& first) {
        if (naming_.done()) [[likely]]
            return;
        add_judged(p, first);
    }
    App app() const { return naming_.app(); }
    std::string_view name() const { return naming_.name(); }
    // The name, moved out: name() is empty after.
    std::string take_name() { return naming_.take_name(); }

private:
    void add_judged(const ParsedPacket& p, const std::optional<IpTuple>& first);

    FlowNaming naming_;
};

}  // namespace flowsieve
