#include "split/driver.hpp"

#include <system_error>
#include <thread>

#include "flow/packet_stream.hpp"
#include "flow/source.hpp"
#include "flow/strategy.hpp"
#include "split/writer.hpp"
#include "util/utf8.hpp"

namespace flowsieve {

std::string file_stem(const std::string& input_path) {
    // The last normal component: trailing "/" and "." components are skipped.
    std::string_view path = input_path;
    std::string_view last;
    while (!path.empty()) {
        size_t slash = path.rfind('/');
        std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
        if (component.empty() || component == ".") continue;
        if (component != "..") last = component;
        break;
    }
    if (last.empty()) return "unknown";
    size_t dot = last.rfind('.');
    std::string_view stem = (dot == std::string_view::npos || dot == 0) ? last : last.substr(0, dot);
    if (!valid_utf8(stem)) return "unknown";
    return std::string(stem);
}

Status<SplitError> split_capture(const SplitOptions& o) {
    auto strategy = choose_strategy(o.strategy);
    if (!strategy) return std::move(strategy).error();
    OutputType output_type;
    if (o.output_type.lowered == "pcap") output_type = OutputType::Pcap;
    else if (o.output_type.lowered == "l7") output_type = OutputType::L7;
    else if (o.output_type.lowered == "stream") output_type = OutputType::Stream;
    else return CallError::value("Unknown output_type: " + o.output_type.lowered + ". Valid: pcap, l7, stream");
    // A stream belongs to one connection, which only these strategies keep apart.
    if (output_type == OutputType::Stream && strategy.value() != SplitStrategy::Session &&
        strategy.value() != SplitStrategy::Flow && strategy.value() != SplitStrategy::Connection)
        return CallError::value("output_type stream needs the session or flow strategy, not " + o.strategy.lowered);

    auto tunnels = choose_tunnels(o.tunnels);
    if (!tunnels) return std::move(tunnels).error();
    auto source = open_flow_source(o.input_path, o.ip_filters, o.port_filters, o.observer, o.frame_filter);
    if (!source) return std::move(source).error();
    const FrameFileFormat frame_format = source->reader->frame_format();
    if (o.pcapng_link_types && output_type == OutputType::Pcap && frame_format.pcapng())
        *o.pcapng_link_types = frame_format.link_types;
    const uint64_t input_size = source->input.size();
    if (auto st = create_directories(o.output_dir); !st) return CallError::io(st.error(), o.output_dir);

    KeyedPacketStream packets;
    if (o.notes) packets.end_at_cut_off();
    packets.decode_tunnels(tunnels.value());
    if (o.dedup) packets.drop_duplicates();
    packets.set_idle_timeouts(o.idle);
    // Keys that sanitize alike share one file rather than overwrite each other's.
    if (auto st = packets.start(std::move(source->reader), strategy.value(), std::move(source->filter),
                                KeyForm::Text, sanitize_key);
        !st)
        return st;

    WriterSetOptions writer_options;
    writer_options.output_dir = o.output_dir;
    writer_options.stem = o.stem.empty() ? file_stem(o.input_path) : o.stem;
    writer_options.frame_format = frame_format;
    writer_options.output_type = output_type;
    writer_options.buffer_bytes = o.buffer_bytes;
    writer_options.max_sessions = o.max_sessions;
    writer_options.fill_gaps = o.fill_gaps;
    auto writers = FlowWriterSet::create(std::move(writer_options));
    if (!writers) return CallError::runtime(writers.error(), o.output_dir);

    // The input is let go of beside the renaming, which then runs alone:
    // unmapping a large capture takes a while.
    std::jthread releasing;
    auto release_input = [&] {
        try {
            releasing = std::jthread([input = std::move(source->input)] {});
        } catch (const std::system_error&) {
        }  // no thread: the input goes as the thread's would have, here
    };
    ProgressClock clock;
    auto report = [&] {
        return o.observer->keep_going({packets.bytes_consumed(), input_size, clock.packets(),
                                       writers.value()->flow_count(), packets.fragments_matched(),
                                       packets.fragments_unmatched(), packets.packets_kept()});
    };
    auto write_flows = [&]() -> Status<SplitError> {
        while (size_t ready = packets.wait_front()) {
            for (size_t i = 0; i < ready; ++i) {
                const QueuedPacket& queued = packets.front(i);
                if (clock.tick(queued.read_bytes, queued.read_packets) && o.observer && !report())
                    return CallError::interrupted();
                for (uint8_t k = 0; k < queued.keys.count; ++k)
                    if (auto st = writers.value()->write_packet(queued.flows[k], queued.keys.keys[k].text(),
                                                                queued.packet);
                        !st)
                        return CallError::runtime(st.error(), o.output_dir);
            }
            packets.pop_front(ready);
        }
        if (auto st = packets.finish(); !st) return CallError(st.error()).about(o.input_path);
        if (o.notes) *o.notes = packets.notes();
        if (o.observer && !report()) return CallError::interrupted();
        if (auto st = writers.value()->finish(packets.keys(), release_input); !st)
            return CallError::runtime(st.error(), o.output_dir);
        if (o.gaps) *o.gaps = writers.value()->gaps();
        if (o.holes) *o.holes = writers.value()->holes();
        return {};
    };
    auto status = write_flows();
    if (!status && o.removed_temporaries) {
        (void)packets.finish();  // the keys are whole once the reading has stopped
        *o.removed_temporaries = writers.value()->discard(packets.keys());
    }
    return status;
}

}  // namespace flowsieve
