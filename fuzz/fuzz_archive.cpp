// Archive bytes through open, every query, every flow's packets and every
// flow as a pcap file. Whatever the bytes, a returned record lies inside the
// mapping and after the one before it, a query names a flow of the table at
// most once and only flows whose record matches it, and a flow's pcap is the
// global header and its records.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "archive/mod.hpp"
#include "archive/reader.hpp"
#include "common.hpp"
#include "parser/pcap_format.hpp"

using namespace flowsieve;
using namespace flowsieve::archive;
using fuzzing::check;

namespace {

template <class Matches>
void check_list(const ArchiveReader& reader, const FlowList& flows, Matches matches) {
    const auto& records = reader.records();
    std::set<const FlowRecord*> seen;
    for (const FlowRecord* r : flows) {
        check(!records.empty() && r >= &records.front() && r <= &records.back());
        check(seen.insert(r).second);
        check(matches(*r));
    }
}

template <class Matches>
void check_query(const ArchiveReader& reader, const Result<FlowList>& flows, Matches matches) {
    check(flows.ok());
    check_list(reader, flows.value(), matches);
}

void check_ip(const ArchiveReader& reader, const StoredAddress& a) {
    check_query(reader, find_by_ip(reader, address_text(decode_address(a))),
                [&](const FlowRecord& r) { return r.src_addr == a || r.dst_addr == a; });
}

void check_port(const ArchiveReader& reader, uint16_t port) {
    check_list(reader, find_by_port(reader, port),
               [&](const FlowRecord& r) { return r.src_port == port || r.dst_port == port; });
}

// The pcap holds a subsequence of the flow's records: those that the budget
// shared by every flow still had room for.
void check_flow(const ArchiveReader& reader, const FlowRecord& record, ExportBudget& budget) {
    const ByteView file = reader.mapping();
    auto packets = read_packets(reader, record);
    auto pcap = FlowPcap::of(reader, record, budget);
    check(packets.ok() == pcap.ok());
    if (!packets) return;
    const uint8_t* end = nullptr;
    for (const PacketRecord& p : packets.value()) {
        check(p.record_start() >= file.data() && p.record_start() >= end);
        end = p.record_start() + p.record_size();
        check(end <= file.data() + file.size());
    }
    check(pcap.value().size() >= kPcapGlobalHeaderSize);
    std::vector<uint8_t> out(pcap.value().size());
    pcap.value().write(out.data());
    if (reader.frame_format().pcapng()) return;  // blocks, not stored records
    check(decode_u32(out.data() + kPcapLinkTypeOffset, ByteOrder::Little) == reader.link_type());
    size_t at = kPcapGlobalHeaderSize;
    auto next = packets.value().begin();
    while (at < out.size()) {
        check(out.size() - at >= kPcapRecordHeaderSize);
        const size_t size = kPcapRecordHeaderSize + decode_u32(out.data() + at + 8, ByteOrder::Little);
        check(out.size() - at >= size);
        while (next != packets.value().end() &&
               (next->record_size() != size || std::memcmp(out.data() + at, next->record_start(), size) != 0))
            ++next;
        check(next != packets.value().end());
        ++next;
        at += size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("archive", MFD_CLOEXEC);
    check(fd >= 0);
    check(::ftruncate(fd, 0) == 0 && ::pwrite(fd, data, size, 0) == ssize_t(size));
    auto opened = open_archive("/proc/self/fd/" + std::to_string(fd));
    if (!opened) return 0;
    const ArchiveReader& reader = *opened.value();

    check_list(reader, all_flows(reader), [](const FlowRecord&) { return true; });
    for (uint64_t id : {uint64_t(0), std::numeric_limits<uint64_t>::max()}) {
        const FlowRecord* found = get_flow(reader, id);
        check(!found || found->id == id);
    }
    for (const char* name : {"tcp", "udp", "icmp", "icmpv6"}) {
        const uint8_t number = *protocol_number(name);
        check_query(reader, find_by_protocol(reader, name), [&](const FlowRecord& r) { return r.proto == number; });
    }
    check_ip(reader, StoredAddress{});
    check_port(reader, 0);
    ExportBudget budget(reader);
    for (const FlowRecord& r : reader.records()) {
        const FlowRecord* found = get_flow(reader, r.id);
        check(found && found->id == r.id);
        for (const StoredAddress& a : {r.src_addr, r.dst_addr}) check_ip(reader, a);
        for (uint16_t port : {r.src_port, r.dst_port}) check_port(reader, port);
        (void)protocol_name(r.proto);
        check_flow(reader, r, budget);
    }
    return 0;
}
