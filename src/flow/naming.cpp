#include "flow/naming.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/utf8.hpp"

namespace flowsieve {
namespace {

constexpr std::string_view kAppNames[] = {"", "tls", "quic", "http", "dns", "ssh", "bittorrent"};

// A flow says nothing more after this many packets with payload, a
// direction of UDP after this many datagrams that said nothing.
constexpr int kMaxPayloadPackets = 16;
constexpr int kMaxSilentDatagrams = 4;

Verdict found(App app, std::string name = {}) { return {Verdict::Found, app, std::move(name)}; }
Verdict need_more() { return {Verdict::NeedMore, App::None, {}}; }
Verdict not_this() { return {}; }

// Whether the bytes there are start `prefix`, or could as more come.
enum class Prefix { No, Partly, Yes };
Prefix starts_with(ByteView bytes, std::string_view prefix) {
    const size_t n = std::min(bytes.size(), prefix.size());
    for (size_t i = 0; i < n; ++i)
        if (bytes.data()[i] != uint8_t(prefix[i])) return Prefix::No;
    return n == prefix.size() ? Prefix::Yes : Prefix::Partly;
}

std::string_view text_of(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// A name as sent, with what is not printable escaped.
std::string name_text(ByteView bytes) { return visible(text_of(bytes)); }

// The host_name of a server_name extension's data; nothing when its
// lengths disagree.
std::optional<std::string> server_name_of(ByteView ext) {
    const auto list = ext.u16be(0);
    if (!list || *list + 2u != ext.size()) return std::nullopt;
    for (size_t at = 2; at < ext.size();) {
        const auto type = ext.u8(at);
        const auto length = ext.u16be(at + 1);
        if (!type || !length) return std::nullopt;
        const auto name = ext.sub(at + 3, *length);
        if (!name) return std::nullopt;
        if (*type == 0) {
            if (name->size() == 0 || name->size() > 255) return std::nullopt;
            return name_text(*name);
        }
        at += 3 + *length;
    }
    return std::nullopt;
}

}  // namespace

std::string client_hello_name(ByteView m) {
    size_t at = 2 + 32;  // version, random
    const auto session = m.u8(at);
    if (!session) return {};
    at += 1 + *session;
    const auto suites = m.u16be(at);
    if (!suites) return {};
    at += 2 + *suites;
    const auto compression = m.u8(at);
    if (!compression) return {};
    at += 1 + *compression;
    const auto extensions_length = m.u16be(at);
    if (!extensions_length) return {};
    const auto extensions = m.sub(at + 2, *extensions_length);
    if (!extensions) return {};
    for (size_t e = 0; e < extensions->size();) {
        const auto type = extensions->u16be(e);
        const auto length = extensions->u16be(e + 2);
        if (!type || !length) return {};
        const auto data = extensions->sub(e + 4, *length);
        if (!data) return {};
        if (*type == 0) return server_name_of(*data).value_or("");
        e += 4 + *length;
    }
    return {};
}

namespace {

bool is_token_char(uint8_t c) { return c > 0x20 && c < 0x7F; }

// The Host header's value among the header lines, without a port and the
// brackets of an IPv6 address; empty when there is none.
std::string host_of(std::string_view headers) {
    for (size_t at = 0; at < headers.size();) {
        size_t end = headers.find("\r\n", at);
        if (end == std::string_view::npos) end = headers.size();
        const std::string_view line = headers.substr(at, end - at);
        at = end + 2;
        if (line.size() < 5) continue;
        bool host = true;
        for (size_t i = 0; i < 4; ++i) host = host && (line[i] | 0x20) == "host"[i];
        if (!host || line[4] != ':') continue;
        std::string_view value = line.substr(5);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (value.starts_with('[')) {
            const size_t close = value.find(']');
            if (close == std::string_view::npos) return {};
            value = value.substr(1, close - 1);
        } else if (const size_t colon = value.find(':'); colon != std::string_view::npos) {
            value = value.substr(0, colon);
        }
        if (value.size() > 255) return {};
        return visible(value);
    }
    return {};
}

constexpr size_t kTcpHeader = 20;

// Whether a direction whose bytes start so may be one a judge reads: a DNS
// length up to 4096, BitTorrent's 19, a TLS record's type, "SSH-" and the
// capitals that start HTTP. Most bytes of other protocols are turned away
// on the first.
bool may_open_stream(uint8_t first) { return first <= 0x17 || (first >= 'A' && first <= 'T'); }

// The sequence number of a TCP SYN.
std::optional<uint32_t> syn_sequence(const ParsedPacket& p) {
    if (!p.ip || p.ip->protocol != kIpProtoTcp || p.ip->transport_header_len < kTcpHeader || !p.payload_offset)
        return std::nullopt;
    const size_t header = size_t(*p.payload_offset) - p.ip->transport_header_len;
    const auto flags = p.data.view().u8(header + 13);
    if (!flags || !(*flags & 0x02)) return std::nullopt;
    return p.data.view().u32(header + 4, ByteOrder::Big);
}

}  // namespace

std::string_view app_name(App app) { return kAppNames[size_t(app)]; }

std::optional<App> app_of_name(std::string_view name) {
    for (size_t i = 1; i < std::size(kAppNames); ++i)
        if (kAppNames[i] == name) return App(i);
    return std::nullopt;
}

// TLS records from the direction's start: the handshake messages of the
// first records, gathered, until the first message is whole. A record of
// another content type with a plausible header still says TLS.
Verdict judge_tls(ByteView s) {
    static constexpr size_t kMaxRecord = 16384 + 2048;
    auto plausible = [&](size_t at) -> std::optional<bool> {
        const auto type = s.u8(at), major = s.u8(at + 1), minor = s.u8(at + 2);
        if (type && (*type < 0x14 || *type > 0x17)) return false;
        if (major && *major != 3) return false;
        if (minor && *minor > 4) return false;
        const auto length = s.u16be(at + 3);
        if (!length) return std::nullopt;
        return *length > 0 && *length <= kMaxRecord;
    };
    const auto first = plausible(0);
    if (!first) return need_more();
    if (!*first) return not_this();
    if (s.data()[0] != 0x16) return found(App::Tls);
    // A handshake record's header is enough to say TLS while the rest comes.
    const Verdict more{Verdict::NeedMore, App::Tls, {}};
    // A ClientHello in one record, as most are, is read where it lies.
    const size_t first_length = *s.u16be(3);
    if (const auto hs = s.sub(5, first_length); hs && hs->size() >= 4) {
        if (hs->data()[0] != 1) return found(App::Tls);
        const size_t body = size_t(hs->data()[1]) << 16 | size_t(hs->data()[2]) << 8 | hs->data()[3];
        if (const auto m = hs->sub(4, body)) return found(App::Tls, client_hello_name(*m));
    }
    std::vector<uint8_t> message;
    for (size_t at = 0;;) {
        const auto ok = plausible(at);
        if (!ok) return more;
        if (!*ok || s.data()[at] != 0x16) return found(App::Tls);
        const size_t length = *s.u16be(at + 3);
        const auto fragment = s.sub(at + 5, length);
        if (!fragment) return more;
        message.insert(message.end(), fragment->data(), fragment->data() + fragment->size());
        at += 5 + length;
        if (message.size() < 4) continue;
        if (message[0] != 1) return found(App::Tls);  // not a ClientHello
        const size_t body = size_t(message[1]) << 16 | size_t(message[2]) << 8 | message[3];
        if (message.size() - 4 < body) continue;
        return found(App::Tls, client_hello_name(ByteView(message.data() + 4, body)));
    }
}

// An HTTP/1.x request line and its headers, or a response's status line.
Verdict judge_http(ByteView s) {
    static constexpr std::string_view kMethods[] = {"GET ",     "POST ",  "HEAD ",  "PUT ",     "DELETE ",
                                                    "OPTIONS ", "PATCH ", "TRACE ", "CONNECT "};
    const std::string_view text = text_of(s);
    // Every method and "HTTP/1." start with a capital letter.
    if (!s.size() || s.data()[0] < 'A' || s.data()[0] > 'T') return not_this();
    bool partly = false;
    size_t method = 0;
    for (std::string_view m : kMethods) {
        const Prefix p = starts_with(s, m);
        if (p == Prefix::Yes) method = m.size();
        partly = partly || p == Prefix::Partly;
    }
    if (!method) {
        const Prefix response = starts_with(s, "HTTP/1.");
        if (response == Prefix::Yes) return s.size() > 8 ? found(App::Http) : need_more();
        return partly || response == Prefix::Partly ? need_more() : not_this();
    }
    const size_t line_end = text.find("\r\n");
    if (line_end == std::string_view::npos) {
        for (size_t i = method; i < text.size(); ++i)
            if (text[i] != ' ' && !is_token_char(uint8_t(text[i]))) return not_this();
        return need_more();
    }
    const std::string_view line = text.substr(0, line_end);
    const size_t target_end = line.find(' ', method);
    if (target_end == method || target_end == std::string_view::npos) return not_this();
    const std::string_view version = line.substr(target_end + 1);
    if (version.size() != 8 || !version.starts_with("HTTP/1.")) return not_this();
    for (size_t i = method; i < target_end; ++i)
        if (!is_token_char(uint8_t(line[i]))) return not_this();
    const size_t headers_end = text.find("\r\n\r\n", line_end);
    if (headers_end == std::string_view::npos && text.size() < kMaxGathered) return {Verdict::NeedMore, App::Http, {}};
    const std::string_view headers =
        text.substr(line_end + 2, headers_end == std::string_view::npos ? std::string_view::npos : headers_end - line_end);
    return found(App::Http, host_of(headers));
}

// A DNS message whose header and first question are well formed: the
// name of that question, labels joined by dots.
Verdict judge_dns(ByteView message, bool length_prefix) {
    static constexpr size_t kHeader = 12;
    static constexpr size_t kLargestTcpQuery = 4096;
    static constexpr size_t kMaxDnsName = 255;  // on the wire, with its last zero
    // The header first, so that a stream that is not DNS is not waited on.
    const size_t start = length_prefix ? 2 : 0;
    if (const auto high = message.u8(0); length_prefix && high && *high > kLargestTcpQuery >> 8) return not_this();
    if (!message.has(start, kHeader)) return length_prefix ? need_more() : not_this();
    const uint16_t flags = *message.u16be(start + 2);
    const uint16_t questions = *message.u16be(start + 4);
    if ((flags >> 11 & 0xF) != 0 || questions == 0 || questions > 32) return not_this();
    for (size_t count = 6; count < kHeader; count += 2)
        if (*message.u16be(start + count) > 256) return not_this();
    ByteView m = message;
    if (length_prefix) {
        const uint16_t length = *message.u16be(0);
        if (length < kHeader + 5 || length > kLargestTcpQuery) return not_this();
        const auto inside = message.sub(2, length);
        if (!inside) return need_more();
        m = *inside;
    }
    char name[kMaxDnsName];
    size_t length = 0;
    size_t at = kHeader;
    for (;;) {
        const auto label = m.u8(at);
        if (!label || *label > 63) return not_this();  // cut short, or a pointer with nothing before it
        ++at;
        if (*label == 0) break;
        const auto bytes = m.sub(at, *label);
        if (!bytes || at + *label + 1 - kHeader > kMaxDnsName) return not_this();
        if (length) name[length++] = '.';
        std::memcpy(name + length, bytes->data(), *label);
        length += *label;
        at += *label;
    }
    const auto klass = m.u16be(at + 2);
    if (!klass) return not_this();
    const uint16_t c = *klass & 0x7FFF;  // multicast DNS asks for a unicast answer with the top bit
    if (c != 1 && c != 3 && c != 4 && c != 255) return not_this();
    return found(App::Dns, visible(std::string_view(name, length)));
}

void FlowNaming::finish() {
    done_ = true;
    gathered_.reset();
}

FlowNaming::Gathered& FlowNaming::gathered() {
    if (!gathered_) gathered_ = std::make_unique<Gathered>();
    return *gathered_;
}

void FlowNaming::judge(Verdict&& v, int direction) {
    if (v.kind == Verdict::NeedMore) {
        if (app_ == App::None) app_ = v.app;
        return;
    }
    directions_[direction].closed = true;
    if (v.kind == Verdict::Found) {
        if (app_ == App::None) app_ = v.app;
        if (!v.name.empty() && v.app == app_) {
            name_ = std::move(v.name);
            return finish();
        }
        // These never name their flows.
        if (app_ == App::Ssh || app_ == App::Bittorrent) return finish();
    }
    if (directions_[0].closed && directions_[1].closed) finish();
}

void FlowNaming::add(const ParsedPacket& p, bool from_client) {
    if (!p.payload_offset || !p.ip || p.fragment != FragmentPart::None) return;
    const size_t begin = size_t(*p.payload_offset);
    const size_t end = size_t(std::max<uint64_t>(p.payload_end, begin));
    const auto payload = p.data.view().sub(begin, end - begin);
    if (!payload) return;
    const int direction = from_client ? 0 : 1;
    Direction& d = directions_[direction];
    if (payload->size() == 0) {
        // A SYN states where the direction's bytes start.
        if (const auto seq = syn_sequence(p); seq && !d.started) {
            d.started = true;
            d.next = *seq + 1;
        }
        return;
    }
    if (++payload_packets_ > kMaxPayloadPackets) return finish();
    if (p.ip->protocol == kIpProtoUdp) {
        if (d.closed) return;
        if ((gathered_ && gathered_->quic.started()) || is_quic_initial(*payload)) {
            if (app_ == App::None) app_ = App::Quic;
            if (!from_client) return judge(found(App::Quic), direction);
            QuicInitials& quic = gathered().quic;
            quic.add(*payload);
            if (quic.failed()) return judge(found(App::Quic), direction);
            if (auto hello = quic.client_hello()) return judge(found(App::Quic, client_hello_name(*hello)), direction);
            return;
        }
        // A datagram that is not DNS says nothing of the next one, but a
        // few such say enough.
        Verdict v = judge_dns(*payload, false);
        if (v.kind == Verdict::Found || ++d.silent == kMaxSilentDatagrams) judge(std::move(v), direction);
        return;
    }
    if (p.ip->protocol != kIpProtoTcp || d.closed || p.ip->transport_header_len < kTcpHeader) return;
    const auto seq = p.data.view().u32(begin - p.ip->transport_header_len + 4, ByteOrder::Big);
    if (!seq) return;
    // The direction's bytes in order from its first segment: one ahead of
    // them waits for the gap to be sent again; one sent again adds only
    // what is new.
    if (!d.started) {
        d.started = true;
        d.next = *seq;
    }
    const int32_t ahead = int32_t(*seq - d.next);
    if (ahead > 0) return;
    const size_t seen = size_t(-int64_t(ahead));
    if (seen >= payload->size()) return;
    // Most directions are judged by their first segment, read where it is;
    // bytes are copied only for a judgement that needs more of them.
    std::vector<uint8_t>* held = gathered_ ? &gathered_->bytes[direction] : nullptr;
    const bool in_place = !held || held->empty();
    const size_t n = std::min(payload->size() - seen, kMaxGathered - (in_place ? 0 : held->size()));
    d.next += uint32_t(n);
    const ByteView segment(payload->data() + seen, n);
    if (!in_place) held->insert(held->end(), segment.data(), segment.data() + n);
    const ByteView bytes = in_place ? segment : ByteView(held->data(), held->size());
    const bool full = bytes.size() >= kMaxGathered;
    Verdict v;
    if (!may_open_stream(bytes.data()[0])) {
        v = not_this();
    } else if (starts_with(bytes, "SSH-") != Prefix::No) {
        v = bytes.size() < 6 ? need_more()
            : (bytes.data()[4] == '1' || bytes.data()[4] == '2') && bytes.data()[5] == '.' ? found(App::Ssh)
                                                                                            : not_this();
    } else if (starts_with(bytes, "\x13" "BitTorrent protocol") != Prefix::No) {
        v = bytes.size() < 20 ? need_more() : found(App::Bittorrent);
    } else {
        for (auto judge_one : {judge_tls, judge_http, +[](ByteView b) { return judge_dns(b, true); }}) {
            v = judge_one(bytes);
            if (v.kind != Verdict::NotThis) break;
        }
    }
    // Only a ClientHello waits this long: it is TLS, its name out of reach.
    if (v.kind == Verdict::NeedMore && full) v = found(App::Tls);
    judge(std::move(v), direction);
    if (done_) return;
    if (d.closed) {
        if (gathered_) gathered_->bytes[direction] = std::vector<uint8_t>();
    } else if (in_place) {
        gathered().bytes[direction].assign(segment.data(), segment.data() + n);
    }
}

void NamingSlot::add_judged(const ParsedPacket& p, const std::optional<IpTuple>& first) {
    const bool from_client = p.ip && first && p.ip->src_port == first->src_port && p.ip->src_ip == first->src_ip;
    naming_.add(p, from_client);
}

}  // namespace flowsieve
