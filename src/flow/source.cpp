#include "flow/source.hpp"

namespace flowsieve {

Result<SplitStrategy, CallError> choose_strategy(const ChoiceText& strategy) {
    auto parsed = parse_strategy(strategy.given, strategy.lowered);
    if (!parsed) return CallError::value(parsed.error().message);
    return parsed.value();
}

Result<TunnelMode, CallError> choose_tunnels(const ChoiceText& tunnels) {
    if (tunnels.lowered == "outer") return TunnelMode::Outer;
    if (tunnels.lowered == "inner") return TunnelMode::Inner;
    return CallError::value("Unknown tunnels: " + tunnels.given + ". Valid: outer, inner");
}

Result<FlowSource, CallError> open_flow_source(const std::string& input_path,
                                               const std::vector<std::string>& ip_filters,
                                               const std::vector<uint16_t>& port_filters,
                                               ProgressObserver* observer, FrameFilter* frame_filter) {
    // Before the input is read: a filter that cannot be built ends the call.
    auto filter = PacketFilter::build(ip_filters, port_filters, frame_filter);
    if (!filter) return CallError::value(filter.error().message);
    auto input = map_input(input_path, observer, is_capture_magic);
    if (!input) return std::move(input).error();
    FlowSource source;
    source.input = input.value();
    auto reader = open_capture(std::move(input).value());
    if (!reader) return CallError::runtime(reader.error().text()).about(input_path);
    source.reader = std::move(reader).value();
    if (frame_filter)
        if (auto st = frame_filter->prepare(source.reader->link_type()); !st) return std::move(st).error();
    source.filter = std::move(filter).value();
    return source;
}

}  // namespace flowsieve
