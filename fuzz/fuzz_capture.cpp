// Capture bytes through the readers, the dissector, every key strategy and
// the filters, checking what each packet promises: its bytes lie inside the
// input, incl_len is their count, the payload lies within them, every
// packet has one or two keys that fit, compact keys part packets as key
// texts do, and address texts read back as the address they were written
// from. The fragment matcher lets every packet out once, in capture order,
// changing only later fragments.
#include <cstring>
#include <memory>
#include <vector>

#include "common.hpp"
#include "flow/filter.hpp"
#include "flow/fragments.hpp"
#include "flow/strategy.hpp"
#include "parser/capture.hpp"

using namespace flowsieve;
using fuzzing::check;

namespace {

void check_packet(const ParsedPacket& p) {
    check(p.data.size() == p.incl_len);
    check(!p.payload_offset || (*p.payload_offset <= p.payload_end && p.payload_end <= p.incl_len));
    if (p.ip) {
        for (const IpAddress* a : {&p.ip->src_ip, &p.ip->dst_ip}) {
            check(a->family == 4 || a->family == 6);
            FlowKey text;
            append_address(text, *a);
            auto back = parse_ip_address(text.text());
            check(back && *back == *a);
        }
    }
    for (size_t s = 0; s < std::size(fuzzing::kStrategies); ++s) {
        FlowKeys keys = keys_for(SplitStrategy(s), p);
        check(keys.count == 1 || keys.count == 2);
        for (const FlowKey& k : keys) check(!k.text().empty() && k.text().size() < FlowKey::kCapacity);
    }
}

bool same_ip(const std::optional<IpTuple>& a, const std::optional<IpTuple>& b) {
    if (!a || !b) return !a && !b;
    return a->src_ip == b->src_ip && a->dst_ip == b->dst_ip && a->src_port == b->src_port &&
           a->dst_port == b->dst_port && a->protocol == b->protocol &&
           a->transport_header_len == b->transport_header_len;
}

bool same_facts(const ParsedPacket& a, const ParsedPacket& b) {
    return same_ip(a.ip, b.ip) && a.payload_offset == b.payload_offset && a.payload_end == b.payload_end &&
           a.fragment == b.fragment && a.fragment_id == b.fragment_id && a.src_mac == b.src_mac &&
           a.dst_mac == b.dst_mac && a.tunnel.depth == b.tunnel.depth && a.tunnel.vni() == b.tunnel.vni() &&
           a.tunnel.outer == b.tunnel.outer && a.tunnel.outer_fragment == b.tunnel.outer_fragment;
}

// A filter on a packet's own source address and destination port takes it;
// a text that is not an address is refused.
void check_filters(const std::vector<ParsedPacket>& packets) {
    std::vector<std::string> texts = {"10.0.0.1", "::1", "fe80::1", "::ffff:1.2.3.4"};
    std::vector<uint16_t> ports = {53, 80};
    for (const ParsedPacket& p : packets) {
        if (p.ip && texts.size() < 10) {
            FlowKey k;
            append_address(k, p.ip->src_ip);
            texts.emplace_back(k.text());
            ports.push_back(p.ip->dst_port);
        }
    }
    const PacketFilter some = PacketFilter::build(texts, ports).value();
    for (const char* text : {"x", "1.2.3", "::g", "01.2.3.4", "1.2.3.4/8", ""})
        check(!PacketFilter::build({"10.0.0.1", text}, {}).ok());
    for (const ParsedPacket& p : packets) {
        (void)some.accepts(p);
        if (p.ip) {
            FlowKey k;
            append_address(k, p.ip->src_ip);
            check(PacketFilter::build({std::string(k.text())}, {p.ip->dst_port}).value().accepts(p));
        } else {
            check(!PacketFilter::build({}, {80}).value().accepts(p));
        }
    }
}

// Two packets' compact keys are equal exactly when their key texts are, so
// that numbering flows by either gives the same flows.
void check_compact_keys(const std::vector<ParsedPacket>& packets) {
    for (size_t s = 0; s < std::size(fuzzing::kStrategies); ++s) {
        std::vector<FlowKeys> texts, compact;
        for (const ParsedPacket& p : packets) {
            texts.push_back(keys_for(SplitStrategy(s), p, KeyForm::Text));
            compact.push_back(keys_for(SplitStrategy(s), p, KeyForm::Compact));
            check(compact.back().count == texts.back().count);
        }
        for (size_t i = 0; i < packets.size(); ++i)
            for (size_t j = i; j < packets.size() && j < i + 16; ++j)
                for (uint8_t a = 0; a < texts[i].count; ++a)
                    for (uint8_t b = 0; b < texts[j].count; ++b)
                        check((texts[i].keys[a] == texts[j].keys[b]) == (compact[i].keys[a] == compact[j].keys[b]));
    }
}

void check_fragments(const std::vector<ParsedPacket>& packets) {
    FragmentMatcher matcher;
    size_t left = 0;
    uint64_t later = 0;
    auto leave = [&](const ParsedPacket& p) {
        check(left < packets.size());
        const ParsedPacket& in = packets[left++];
        // A later fragment that met no first fragment leaves marked so.
        const bool marked = in.fragment == FragmentPart::Later && p.fragment == FragmentPart::Unmatched;
        check(p.data.data() == in.data.data() && (p.fragment == in.fragment || marked) &&
              p.ip.has_value() == in.ip.has_value());
        if (p.ip && p.fragment < FragmentPart::Later)
            check(p.ip->protocol == in.ip->protocol && p.ip->src_port == in.ip->src_port &&
                  p.ip->dst_port == in.ip->dst_port);
    };
    for (const ParsedPacket& p : packets) {
        later += p.fragment == FragmentPart::Later;
        if (!matcher.takes(p)) {
            leave(p);
            continue;
        }
        matcher.add(ParsedPacket(p));
        while (matcher.ready()) leave(matcher.take());
    }
    matcher.finish();
    while (matcher.ready()) leave(matcher.take());
    check(left == packets.size() && matcher.matched() + matcher.unmatched() == later);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that reading past the end is caught.
    std::shared_ptr<uint8_t[]> copy(new uint8_t[size]);
    if (size) std::memcpy(copy.get(), data, size);
    SharedBytes input(copy, copy.get(), size);
    auto reader = open_capture(input);
    if (!reader) return 0;

    std::vector<ParsedPacket> packets;
    uint64_t consumed = 0;
    for (;;) {
        NextPacket next = reader.value()->next_packet();
        auto* p = std::get_if<ParsedPacket>(&next);
        if (!p) break;
        check(p->data.empty() || (p->data.data() >= input.data() &&
                                  p->data.data() + p->data.size() <= input.data() + input.size()));
        check(reader.value()->bytes_consumed() >= consumed && reader.value()->bytes_consumed() <= size);
        consumed = reader.value()->bytes_consumed();
        check_packet(*p);
        // The same frame under each decoder, whatever the capture's link type.
        for (uint32_t link : {0u, 1u, 101u, 105u, 108u, 113u, 127u, 276u}) {
            check_packet(dissect_frame({}, p->orig_len, p->data, link));
            // and with its tunnels opened, whatever they hold
            const ParsedPacket inner = dissect_frame({}, p->orig_len, p->data, link, TunnelMode::Inner);
            check_packet(inner);
            check(inner.tunnel.depth <= kMaxTunnels && (inner.tunnel.depth > 0) == !tunnel_text(inner).empty());
            if (inner.ip) check(locate_ip(inner, true).has_value());
            // Readers open tunnels as they dissect, the capture command after: the same packet either way.
            ParsedPacket later = dissect_frame({}, p->orig_len, p->data, link);
            open_tunnels(later);
            check(same_facts(inner, later));
        }
        packets.push_back(std::move(*p));
    }
    check_filters(packets);
    check_compact_keys(packets);
    check_fragments(packets);
    return 0;
}
