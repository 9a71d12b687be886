#include "flow/fragments.hpp"

#include <algorithm>

namespace flowsieve {

FragmentMatcher::Datagram FragmentMatcher::Datagram::of(const ParsedPacket& p) {
    Datagram d;
    d.id = p.fragment_id;
    if (p.tunnel.outer_fragment) [[unlikely]] {
        // A tunnel's outer datagram, whose header `ip` no longer describes.
        if (auto ip = tunnel_fragment_ip(p)) {
            d.src = ip->src_ip;
            d.dst = ip->dst_ip;
            if (d.src.family == 4) d.protocol = ip->protocol;
        }
        return d;
    }
    if (p.ip) {
        d.src = p.ip->src_ip;
        d.dst = p.ip->dst_ip;
        if (p.ip->src_ip.family == 4) d.protocol = p.ip->protocol;
    }
    return d;
}

const FragmentMatcher::FirstFragment* FragmentMatcher::find_first(const Datagram& d) const {
    // Newest first: an identification may come round again.
    for (size_t i = 1; i <= first_count_; ++i) {
        const FirstFragment& f = firsts_[(next_first_ + firsts_.size() - i) % firsts_.size()];
        if (f.datagram == d) return &f;
    }
    return nullptr;
}

void FragmentMatcher::give_ports(const FirstFragment& first, ParsedPacket& p) {
    *p.ip = first.tuple;  // the same addresses, or a tunnel's inner ones
    p.ip->transport_header_len = 0;  // the header is the first fragment's
    if (first.tunnel.depth) [[unlikely]] {
        p.tunnel = first.tunnel;
        p.tunnel.outer_fragment = false;
    }
    ++matched_;
}

// Lets the datagram's held fragments go: with the first fragment's ports
// when there is one, else with ports 0.
void FragmentMatcher::release(Datagram d, const FirstFragment* first) {
    auto it = std::find(held_.begin(), held_.end(), d);
    if (it == held_.end()) return;
    held_.erase(it);
    for (Waiting& w : waiting_) {
        if (!w.held || !(Datagram::of(w.packet) == d)) continue;
        w.held = false;
        if (first) {
            give_ports(*first, w.packet);
        } else {
            w.packet.fragment = FragmentPart::Unmatched;
            ++unmatched_;
        }
    }
}

void FragmentMatcher::bound_waiting() {
    while (!held_.empty() && (held_.size() > kMaxWaitingDatagrams || waiting_bytes_ > kMaxWaitingBytes ||
                              waiting_.size() > kMaxWaitingPackets))
        release(held_.front(), nullptr);
}

void FragmentMatcher::add(ParsedPacket&& packet) {
    bool held = false;
    if (packet.fragment == FragmentPart::First) {
        FirstFragment& first = firsts_[next_first_];
        first = {Datagram::of(packet), *packet.ip, packet.tunnel};
        next_first_ = (next_first_ + 1) % firsts_.size();
        first_count_ = std::min(first_count_ + 1, firsts_.size());
        release(first.datagram, &first);
    } else if (packet.fragment == FragmentPart::Later) {
        const Datagram d = Datagram::of(packet);
        if (const FirstFragment* first = find_first(d)) {
            give_ports(*first, packet);
        } else {
            held = true;
            if (std::find(held_.begin(), held_.end(), d) == held_.end()) held_.push_back(d);
        }
    }
    waiting_bytes_ += packet.incl_len;
    waiting_.push_back({std::move(packet), held});
    bound_waiting();
}

void FragmentMatcher::finish() {
    while (!held_.empty()) release(held_.front(), nullptr);
}

ParsedPacket FragmentMatcher::take() {
    ParsedPacket p = std::move(waiting_.front().packet);
    waiting_.pop_front();
    waiting_bytes_ -= p.incl_len;
    return p;
}

}  // namespace flowsieve
