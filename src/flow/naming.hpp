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

// One flow's judgement, fed its packets until done().
class FlowNaming {
public:
    // Whether a flow not yet judged needs its judgement to start with the
    // packet: one with payload, or a TCP SYN.
    static bool wanted(const ParsedPacket& packet);
    // `from_client`: the packet goes the way of the flow's first packet.
    void add(const ParsedPacket& packet, bool from_client);
    bool done() const { return done_; }
    App app() const { return app_; }
    const std::string& name() const { return name_; }
    std::string take_name() { return std::move(name_); }

private:
    // A direction's bytes from its start (TCP), while they are wanted.
    struct Direction {
        std::vector<uint8_t> bytes;
        uint32_t next = 0;
        int silent = 0;  // UDP datagrams that said nothing
        bool started = false;
        bool closed = false;
    };
    void judge(Verdict&& v, int direction);
    void finish();

    App app_ = App::None;
    bool done_ = false;
    std::string name_;
    Direction directions_[2];
    QuicInitials quic_;
    int payload_packets_ = 0;
};

// A flow's judgement as a table of flows keeps it: nothing until a packet
// wants it, one allocation while it goes on, nothing but a flag to test
// once it is over, and a name kept only where one was found.
class NamingSlot {
public:
    // `first`: the IP layer of the flow's first packet, when it had one.
    void add(const ParsedPacket& p, const std::optional<IpTuple>& first) {
        if (over_) [[likely]]
            return;
        add_judged(p, first);
    }
    App app() const { return judging_ ? judging_->app() : app_; }
    std::string_view name() const {
        if (judging_) return judging_->name();
        return name_ ? std::string_view(*name_) : std::string_view();
    }
    // The name, moved out: name() is empty after.
    std::string take_name() {
        if (judging_) return judging_->take_name();
        return name_ ? std::move(*name_) : std::string();
    }

private:
    void add_judged(const ParsedPacket& p, const std::optional<IpTuple>& first);

    std::unique_ptr<FlowNaming> judging_;  // while the judgement goes on
    std::unique_ptr<std::string> name_;
    App app_ = App::None;
    bool over_ = false;
};

}  // namespace flowsieve
