#include "python/classes.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "archive/query.hpp"
#include "python/query.hpp"

namespace flowsieve::python {
namespace {

using archive::FlowRecord;

PyTypeObject* archive_type = nullptr;
PyTypeObject* flow_type = nullptr;
PyTypeObject* packet_type = nullptr;

// C++ state lives in the objects by placement new and is destroyed
// explicitly in dealloc.
struct ArchiveState {
    Reader reader;  // none once closed
    ArchivePath path;
    std::optional<TemporaryArchive> temporary;  // made by read_flows
};
struct ArchiveObject {
    PyObject_HEAD
    ArchiveState state;
};

struct FlowState {
    Reader reader;
    ArchivePath path;
    FlowRecord record;
};
struct FlowObject {
    PyObject_HEAD
    FlowState state;
};

// The frame bytes follow the fixed fields in the same allocation.
struct PacketObject {
    PyObject_VAR_HEAD
    uint32_t ts_sec;
    uint32_t ts_usec;
    uint64_t ts_nsec;
    uint32_t length;
    uint32_t orig_len;
    uint32_t link_type;
    bool nanoseconds;  // read from an archive in nanoseconds
    uint8_t data[1];
};

ArchiveState& archive_of(PyObject* o) { return reinterpret_cast<ArchiveObject*>(o)->state; }
FlowState& flow_of(PyObject* o) { return reinterpret_cast<FlowObject*>(o)->state; }
PacketObject& packet_of(PyObject* o) { return *reinterpret_cast<PacketObject*>(o); }

PyObject* allocate(PyTypeObject* type, Py_ssize_t items = 0) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, items);
}

// Frees through the type's own slot, then drops the instance's reference
// to its heap type.
void free_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())); }
PyObject* number(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// --- Packet -----------------------------------------------------------------

PyObject* new_packet(const archive::PacketRecord& p) {
    // Not the generic allocator, which would first zero the frame bytes
    // that are copied in right after; freed by the type's PyObject_Free.
    const size_t size = offsetof(PacketObject, data) + p.incl_len;
    auto* o = static_cast<PyObject*>(PyObject_Malloc(size));
    if (!o) return PyErr_NoMemory();
    PyObject_InitVar(reinterpret_cast<PyVarObject*>(o), packet_type, Py_ssize_t(p.incl_len));
    PacketObject& packet = packet_of(o);
    packet.ts_sec = p.ts_sec;
    packet.ts_usec = p.ts_usec;
    packet.ts_nsec = p.ts_nsec;
    packet.length = p.incl_len;
    packet.orig_len = p.orig_len;
    packet.link_type = p.link_type;
    packet.nanoseconds = p.nanoseconds;
    std::memcpy(packet.data, p.data, p.incl_len);
    return o;
}

double packet_ts(const PacketObject& p) {
    if (p.nanoseconds) return double(p.ts_nsec) / 1e9 + double(p.ts_sec);
    return double(p.ts_usec) / 1e6 + double(p.ts_sec);
}

PyObject* packet_repr(PyObject* self) {
    const PacketObject& p = packet_of(self);
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, "Packet(ts=%.6f, length=%u, orig_len=%u)", packet_ts(p), p.length,
                          p.orig_len);
    return PyUnicode_FromStringAndSize(buf, n);
}

PyGetSetDef kPacketGetters[] = {
    {"ts_sec", [](PyObject* s, void*) { return number(packet_of(s).ts_sec); }, nullptr, nullptr, nullptr},
    {"ts_usec", [](PyObject* s, void*) { return number(packet_of(s).ts_usec); }, nullptr, nullptr, nullptr},
    {"ts_nsec", [](PyObject* s, void*) { return number(packet_of(s).ts_nsec); }, nullptr,
     "Nanoseconds within the second (ts_usec * 1000 in a capture of microseconds).", nullptr},
    {"link_type", [](PyObject* s, void*) { return number(packet_of(s).link_type); }, nullptr,
     "Link type of the frame's interface.", nullptr},
    {"length", [](PyObject* s, void*) { return number(packet_of(s).length); }, nullptr, nullptr, nullptr},
    {"orig_len", [](PyObject* s, void*) { return number(packet_of(s).orig_len); }, nullptr, nullptr, nullptr},
    {"ts", [](PyObject* s, void*) { return PyFloat_FromDouble(packet_ts(packet_of(s))); }, nullptr, nullptr, nullptr},
    {"data",
     [](PyObject* s, void*) {
         const PacketObject& p = packet_of(s);
         return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p.data), Py_ssize_t(p.length));
     },
     nullptr, "Raw L2 frame data (Ethernet frame or equivalent).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kPacketName[] = "Packet";
PyType_Slot kPacketSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kPacketName>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_object)},
    {Py_tp_repr, reinterpret_cast<void*>(packet_repr)},
    {Py_tp_getset, kPacketGetters},
    {0, nullptr},
};

// --- Flow -------------------------------------------------------------------


void flow_dealloc(PyObject* self) {
    flow_of(self).~FlowState();
    free_object(self);
}

PyObject* flow_repr(PyObject* self) {
    const FlowRecord& r = flow_of(self).record;
    return text("Flow(id=" + std::to_string(r.id) + ", " + archive::protocol_name(r.proto) + " " +
                archive::address_text(r.src_ip()) + ":" + std::to_string(r.src_port) + " -> " +
                archive::address_text(r.dst_ip()) + ":" + std::to_string(r.dst_port) + ", " +
                std::to_string(r.packet_count) + " pkts, " + std::to_string(r.total_bytes) + " bytes)");
}

PyObject* flow_packets(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const FlowState& flow = flow_of(self);
        auto packets = archive::read_packets(*flow.reader, flow.record);
        if (!packets) return raise(CallError::runtime(packets.error().message));
        Ref list(PyList_New(Py_ssize_t(packets->size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < packets->size(); ++i) {
            PyObject* packet = new_packet((*packets)[i]);
            if (!packet) return nullptr;
            PyList_SetItem(list.get(), Py_ssize_t(i), packet);
        }
        return list.release();
    });
}

constexpr auto kStreams = keyword_signature("Flow.streams", BoolArg{"gaps", false});

// [(offset, missing), ...]
PyObject* gap_list(const std::vector<archive::StreamHoleAt>& gaps) {
    Ref list(PyList_New(Py_ssize_t(gaps.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < gaps.size(); ++i) {
        PyObject* gap = Py_BuildValue("(KK)", (unsigned long long)gaps[i].offset, (unsigned long long)gaps[i].missing);
        if (!gap) return nullptr;
        PyList_SetItem(list.get(), Py_ssize_t(i), gap);
    }
    return list.release();
}

PyObject* flow_streams(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kStreams, args, kwargs, [&](bool gaps) -> PyObject* {
        const FlowState& flow = flow_of(self);
        auto pairs = archive::flow_streams(*flow.reader, flow.record);
        if (!pairs) return raise(CallError::runtime(pairs.error().message));
        Ref list(PyList_New(Py_ssize_t(pairs->size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < pairs->size(); ++i) {
            const archive::StreamPair& p = (*pairs)[i];
            PyObject* pair;
            if (gaps) {
                Ref initiator_gaps(gap_list(p.initiator_gaps));
                Ref responder_gaps(initiator_gaps ? gap_list(p.responder_gaps) : nullptr);
                if (!responder_gaps) return nullptr;
                pair = Py_BuildValue("(y#y#OO)", p.initiator.data(), Py_ssize_t(p.initiator.size()),
                                     p.responder.data(), Py_ssize_t(p.responder.size()), initiator_gaps.get(),
                                     responder_gaps.get());
            } else {
                pair = Py_BuildValue("(y#y#)", p.initiator.data(), Py_ssize_t(p.initiator.size()), p.responder.data(),
                                     Py_ssize_t(p.responder.size()));
            }
            if (!pair) return nullptr;
            PyList_SetItem(list.get(), Py_ssize_t(i), pair);
        }
        return list.release();
    });
}

const FlowRecord& record_of(PyObject* s) { return flow_of(s).record; }
// The flow's connection facts; nothing in an archive written before them.
std::optional<ConnSummary> connection_of(PyObject* s) {
    const FlowState& flow = flow_of(s);
    return flow.reader->connection(flow.record);
}
PyObject* connection_count(PyObject* s, uint64_t ConnSummary::*field) {
    const std::optional<ConnSummary> c = connection_of(s);
    if (!c) Py_RETURN_NONE;
    return number(*c.*field);
}
// A time of whole microseconds is reckoned from them, as archives in
// microseconds always were.
double seconds(uint64_t nanos) { return nanos % 1000 ? double(nanos) / 1e9 : double(nanos / 1000) / 1e6; }

PyGetSetDef kFlowGetters[] = {
    {"id", [](PyObject* s, void*) { return number(record_of(s).id); }, nullptr, nullptr, nullptr},
    {"proto", [](PyObject* s, void*) { return number(record_of(s).proto); }, nullptr, nullptr, nullptr},
    {"proto_name", [](PyObject* s, void*) { return PyUnicode_FromString(archive::protocol_name(record_of(s).proto)); },
     nullptr, nullptr, nullptr},
    {"src_addr", [](PyObject* s, void*) { return text(archive::address_text(record_of(s).src_ip())); }, nullptr,
     nullptr, nullptr},
    {"dst_addr", [](PyObject* s, void*) { return text(archive::address_text(record_of(s).dst_ip())); }, nullptr,
     nullptr, nullptr},
    {"src_port", [](PyObject* s, void*) { return number(record_of(s).src_port); }, nullptr, nullptr, nullptr},
    {"dst_port", [](PyObject* s, void*) { return number(record_of(s).dst_port); }, nullptr, nullptr, nullptr},
    {"packet_count", [](PyObject* s, void*) { return number(record_of(s).packet_count); }, nullptr, nullptr, nullptr},
    {"total_bytes", [](PyObject* s, void*) { return number(record_of(s).total_bytes); }, nullptr, nullptr, nullptr},
    {"start_ts", [](PyObject* s, void*) { return PyFloat_FromDouble(seconds(record_of(s).start_ns)); }, nullptr,
     nullptr, nullptr},
    {"end_ts", [](PyObject* s, void*) { return PyFloat_FromDouble(seconds(record_of(s).end_ns)); }, nullptr, nullptr,
     nullptr},
    {"archive_path", [](PyObject* s, void*) { return path_object(*flow_of(s).path); }, nullptr,
     "The path of the archive the flow came from, as it was opened.", nullptr},
    {"community_id",
     [](PyObject* s, void*) {
         return guarded([&]() -> PyObject* {
             const FlowState& flow = flow_of(s);
             auto id = archive::flow_community_id(*flow.reader, flow.record);
             if (!id) Py_RETURN_NONE;
             return text(*id);
         });
     },
     nullptr, "Community ID (version 1, seed 0) of the flow's first packet; None without an IP layer.", nullptr},
    {"tunnel",
     [](PyObject* s, void*) {
         const FlowState& flow = flow_of(s);
         const std::optional<archive::FlowFields> fields = flow.reader->fields(flow.record);
         if (!fields || fields->tunnel.empty()) Py_RETURN_NONE;
         return text(fields->tunnel);
     },
     nullptr,
     "The tunnels of the flow's first packet from outer to inner, such as \"geneve 0 / vxlan 303\", in an archive "
     "built with tunnels=\"inner\"; None outside tunnels.",
     nullptr},
    {"server_name",
     [](PyObject* s, void*) {
         const FlowState& flow = flow_of(s);
         const std::optional<archive::FlowFields> fields = flow.reader->fields(flow.record);
         if (!fields || fields->server_name.empty()) Py_RETURN_NONE;
         return text(fields->server_name);
     },
     nullptr,
     "The server name of the flow's first packets: a TLS or QUIC ClientHello's server name, an HTTP/1.x "
     "request's Host without its port, a DNS query's name; None when they carry none.",
     nullptr},
    {"app",
     [](PyObject* s, void*) {
         const FlowState& flow = flow_of(s);
         const std::optional<archive::FlowFields> fields = flow.reader->fields(flow.record);
         if (!fields || fields->app.empty()) Py_RETURN_NONE;
         return text(fields->app);
     },
     nullptr,
     "What the flow's payload is by its bytes: \"tls\", \"quic\", \"http\", \"dns\", \"ssh\" or "
     "\"bittorrent\"; None when they do not say.",
     nullptr},
    {"orig_packets", [](PyObject* s, void*) { return connection_count(s, &ConnSummary::orig_packets); }, nullptr,
     "Packets the originator sent; None in an archive written before connections were counted.", nullptr},
    {"orig_ip_bytes", [](PyObject* s, void*) { return connection_count(s, &ConnSummary::orig_ip_bytes); }, nullptr,
     "IP bytes (the datagrams' stated lengths) the originator sent; None in an older archive.", nullptr},
    {"resp_packets", [](PyObject* s, void*) { return connection_count(s, &ConnSummary::resp_packets); }, nullptr,
     "Packets the responder sent; None in an older archive.", nullptr},
    {"resp_ip_bytes", [](PyObject* s, void*) { return connection_count(s, &ConnSummary::resp_ip_bytes); }, nullptr,
     "IP bytes the responder sent; None in an older archive.", nullptr},
    {"flipped",
     [](PyObject* s, void*) {
         const std::optional<ConnSummary> c = connection_of(s);
         if (!c) Py_RETURN_NONE;
         return PyBool_FromLong(c->flipped);
     },
     nullptr, "True when the originator is the flow's destination; None in an older archive.", nullptr},
    {"state",
     [](PyObject* s, void*) {
         const std::optional<ConnSummary> c = connection_of(s);
         if (!c || c->state == ConnState::Unknown) Py_RETURN_NONE;
         return text(std::string(conn_state_name(c->state)));
     },
     nullptr, "Zeek's conn_state code (\"SF\", \"S0\", \"REJ\", ...); None without an IP layer or in an older archive.",
     nullptr},
    {"history",
     [](PyObject* s, void*) {
         const std::optional<ConnSummary> c = connection_of(s);
         if (!c) Py_RETURN_NONE;
         return text(c->history);
     },
     nullptr, "Zeek's history letters (\"ShADadFf\"); None in an older archive.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kFlowMethods[] = {
    {"packets", flow_packets, METH_NOARGS,
     "packets($self)\n--\n\nReturn all packets in this flow as a list of Packet objects."},
    {"streams", keywords(flow_streams), METH_VARARGS | METH_KEYWORDS,
     "streams($self, *, gaps=False)\n--\n\nReturn what each side sent as a list of (initiator bytes, responder bytes), one "
     "pair per TCP connection, reassembled by sequence number; for other protocols one pair of payloads in capture "
     "order. With gaps=True each item is (initiator bytes, responder bytes, initiator gaps, responder gaps), a gap "
     "(offset, missing): bytes never captured, left out after the first offset bytes of the side."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kFlowName[] = "Flow";
PyType_Slot kFlowSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kFlowName>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(flow_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(flow_repr)},
    {Py_tp_getset, kFlowGetters},
    {Py_tp_methods, kFlowMethods},
    {0, nullptr},
};

// --- Archive ----------------------------------------------------------------

// Releases the archive's hold on its file; read_flows' temporary archive
// is deleted, unless another call has put its own archive at the path since.
void close_archive(ArchiveState& a) {
    a.reader.reset();
    if (a.temporary) unlink_if_same(AT_FDCWD, a.temporary->path.c_str(), a.temporary->id);
    a.temporary.reset();
}

void archive_dealloc(PyObject* self) {
    close_archive(archive_of(self));
    archive_of(self).~ArchiveState();
    free_object(self);
}

}  // namespace

const Reader* open_reader(PyObject* self) {
    const Reader& reader = archive_of(self).reader;
    if (reader) return &reader;
    raise({PyExc_ValueError, "the archive is closed"});
    return nullptr;
}

namespace {

PyObject* archive_repr(PyObject* self) {
    const ArchiveState& a = archive_of(self);
    if (!a.reader) return text("Archive(closed)");
    return text("Archive(flows=" + std::to_string(a.reader->records().size()) +
                ", link_type=" + std::to_string(a.reader->link_type()) + ")");
}

Py_ssize_t archive_length(PyObject* self) {
    const Reader* reader = open_reader(self);
    return reader ? Py_ssize_t((*reader)->records().size()) : -1;
}

constexpr auto kOpen = signature("Archive.open", 1, PathArg{"path"});
constexpr auto kGetFlow = signature("Archive.get_flow", 1, U64Arg{"flow_id"});
constexpr auto kFindByIp = signature("Archive.find_by_ip", 1, TextArg{"ip_str"});
constexpr auto kFindByPort = signature("Archive.find_by_port", 1, U16Arg{"port"});
constexpr auto kFindByProtocol = signature("Archive.find_by_protocol", 1, ChoiceArg{"proto_str"});
constexpr auto kFind = query_signature("Archive.find");

PyObject* archive_open(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(kOpen, args, kwargs, [](std::string path) -> PyObject* {
        auto reader = archive::open_archive(path);
        if (!reader) return raise(CallError::io(reader.error(), path));
        return new_archive(std::move(reader).value(), path);
    });
}

// The flows `select` picks from the open archive, as a list; a failed
// selection is a ValueError.
template <class Select>
PyObject* archive_list(PyObject* self, Select select) {
    const Reader* reader = open_reader(self);
    if (!reader) return nullptr;
    Result<archive::FlowList> records = select(**reader);
    if (!records) return raise(CallError::value(records.error().message));
    return flow_list(*reader, archive_of(self).path, records.value());
}

PyObject* archive_flows(PyObject* self, PyObject*) {
    return guarded([&] { return archive_list(self, archive::all_flows); });
}

PyObject* archive_get_flow(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kGetFlow, args, kwargs, [&](uint64_t id) -> PyObject* {
        const Reader* reader = open_reader(self);
        if (!reader) return nullptr;
        const FlowRecord* record = archive::get_flow(**reader, id);
        if (!record) Py_RETURN_NONE;
        return new_flow(*reader, archive_of(self).path, *record);
    });
}

PyObject* archive_find_by_ip(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kFindByIp, args, kwargs, [&](std::string ip) {
        return archive_list(self, [&](const archive::ArchiveReader& r) { return archive::find_by_ip(r, ip); });
    });
}

PyObject* archive_find_by_port(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kFindByPort, args, kwargs, [&](uint16_t port) {
        return archive_list(self, [&](const archive::ArchiveReader& r) { return archive::find_by_port(r, port); });
    });
}

PyObject* archive_find_by_protocol(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kFindByProtocol, args, kwargs, [&](ChoiceText proto) {
        return archive_list(self,
                            [&](const archive::ArchiveReader& r) { return archive::find_by_protocol(r, proto.lowered); });
    });
}

PyObject* archive_find(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kFind, args, kwargs,
                [&](PyObject* ip, PyObject* port, PyObject* between, PyObject* between_port, PyObject* proto,
                    PyObject* since, PyObject* until, PyObject* flow, PyObject* community_id,
                    PyObject* vni, PyObject* name, PyObject* app, PyObject* state) -> PyObject* {
                    auto query = query_of(ip, port, between, between_port, proto, since, until, flow, community_id, vni,
                                          name, app, state);
                    if (!query) return nullptr;
                    return archive_list(self, [&](const archive::ArchiveReader& r) -> Result<archive::FlowList> {
                        return archive::select_flows(r, *query);
                    });
                });
}

PyObject* archive_close(PyObject* self, PyObject*) {
    close_archive(archive_of(self));
    Py_RETURN_NONE;
}

PyGetSetDef kArchiveGetters[] = {
    {"flow_count",
     [](PyObject* s, void*) {
         const Reader* reader = open_reader(s);
         return reader ? number((*reader)->records().size()) : nullptr;
     },
     nullptr, nullptr, nullptr},
    {"link_type",
     [](PyObject* s, void*) {
         const Reader* reader = open_reader(s);
         return reader ? number((*reader)->link_type()) : nullptr;
     },
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kArchiveMethods[] = {
    {"open", keywords(archive_open), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(path)\n--\n\nOpen a .fsieve archive file."},
    {"flows", archive_flows, METH_NOARGS, "flows($self)\n--\n\nReturn all flows as a list of Flow objects."},
    {"get_flow", keywords(archive_get_flow), METH_VARARGS | METH_KEYWORDS,
     "get_flow($self, flow_id)\n--\n\nGet a specific flow by ID."},
    {"find_by_ip", keywords(archive_find_by_ip), METH_VARARGS | METH_KEYWORDS,
     "find_by_ip($self, ip_str)\n--\n\nFind flows matching an IP address (src or dst)."},
    {"find_by_port", keywords(archive_find_by_port), METH_VARARGS | METH_KEYWORDS,
     "find_by_port($self, port)\n--\n\nFind flows matching a port number (src or dst)."},
    {"find_by_protocol", keywords(archive_find_by_protocol), METH_VARARGS | METH_KEYWORDS,
     "find_by_protocol($self, proto_str)\n--\n\nFind flows matching a protocol: \"tcp\", \"udp\", or \"icmp\"."},
    {"find", keywords(archive_find), METH_VARARGS | METH_KEYWORDS,
     "find($self, *, ip=None, port=None, between=None, between_port=None, proto=None, since=None, until=None, "
     "flow=None, community_id=None, vni=None, name=None, app=None, state=None)\n--\n\n"
     "The flows that meet every condition given, by ascending id; every flow in table order without one.\n\n"
     "ip, port and proto take one value or a list of which any will do (proto a name or a number);\n"
     "between and between_port one or a list of which all must be the flow's endpoints; an empty list\n"
     "matches no flow. since and until a float of seconds, an int of nanoseconds (at least 10**12), a\n"
     "datetime (naive ones in UTC) or the command's text;\n"
     "flow a tuple (proto, addr, port, addr, port), either direction, or the command's text; vni the VNI of\n"
     "the flow's innermost VXLAN or GENEVE tunnel, in an archive built with tunnels=\"inner\"; name a\n"
     "server name pattern or a list of which any will do, ignoring case (\"*.example.com\" every name\n"
     "below example.com, \"example.com\" that name alone); app \"tls\", \"quic\", \"http\", \"dns\",\n"
     "\"ssh\" or \"bittorrent\"; state one connection state (\"SF\", \"REJ\", ...) or a list of which any\n"
     "will do."},
    {"close", archive_close, METH_NOARGS,
     "close($self)\n--\n\nRelease the archive; its flows and packets stay usable. Closing twice does nothing."},
    {"__enter__", enter_self, METH_NOARGS, nullptr},
    {"__exit__", exit_closes, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kArchiveName[] = "Archive";
PyType_Slot kArchiveSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kArchiveName>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(archive_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(archive_repr)},
    {Py_mp_length, reinterpret_cast<void*>(archive_length)},
    {Py_tp_getset, kArchiveGetters},
    {Py_tp_methods, kArchiveMethods},
    {0, nullptr},
};

// Qualified names: the classes are named by their bare names and belong to
// this module (an undotted name would make them builtins, which newer
// interpreters warn about at import).
PyType_Spec kArchiveSpec = {"flowsieve.Archive", sizeof(ArchiveObject), 0, Py_TPFLAGS_DEFAULT, kArchiveSlots};
PyType_Spec kFlowSpec = {"flowsieve.Flow", sizeof(FlowObject), 0, Py_TPFLAGS_DEFAULT, kFlowSlots};
PyType_Spec kPacketSpec = {"flowsieve.Packet", int(offsetof(PacketObject, data)), 1, Py_TPFLAGS_DEFAULT, kPacketSlots};

}  // namespace

ArchiveTypes create_archive_types() {
    static PyObject* store_type = nullptr;
    if (!archive_type) {
        archive_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kArchiveSpec));
        if (archive_type) flow_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kFlowSpec));
        if (flow_type) packet_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kPacketSpec));
        if (packet_type) store_type = create_store_type();
        if (!store_type) {
            Py_CLEAR(archive_type);
            Py_CLEAR(flow_type);
            Py_CLEAR(packet_type);
            return {nullptr, nullptr, nullptr, nullptr};
        }
    }
    return {reinterpret_cast<PyObject*>(archive_type), reinterpret_cast<PyObject*>(flow_type),
            reinterpret_cast<PyObject*>(packet_type), store_type};
}

PyObject* new_archive(Reader reader, const std::string& path, std::optional<TemporaryArchive> temporary) {
    PyObject* o = allocate(archive_type);
    if (!o) return nullptr;
    new (&archive_of(o)) ArchiveState{std::move(reader), std::make_shared<const std::string>(path), std::move(temporary)};
    return o;
}

PyObject* new_flow(const Reader& reader, const ArchivePath& path, const FlowRecord& record) {
    PyObject* o = allocate(flow_type);
    if (!o) return nullptr;
    new (&flow_of(o)) FlowState{reader, path, record};
    return o;
}

PyObject* flow_list(const Reader& reader, const ArchivePath& path, const archive::FlowList& records) {
    Ref list(PyList_New(Py_ssize_t(records.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject* flow = new_flow(reader, path, *records[i]);
        if (!flow) return nullptr;
        PyList_SetItem(list.get(), Py_ssize_t(i), flow);
    }
    return list.release();
}

std::optional<FlowView> flow_view(PyObject* obj) {
    if (Py_TYPE(obj) != flow_type) return std::nullopt;
    const FlowState& flow = flow_of(obj);
    return FlowView{&flow.reader, &flow.path, &flow.record};
}

PyObject* enter_self(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* exit_closes(PyObject* self, PyObject*) {
    Ref result(PyObject_CallMethod(self, "close", nullptr));
    if (!result) return nullptr;
    Py_RETURN_FALSE;
}

bool is_archive(PyObject* o) { return archive_type && PyObject_TypeCheck(o, archive_type); }

const FlowRecord* flow_record(PyObject* o, const archive::ArchiveReader& reader) {
    if (!flow_type || !PyObject_TypeCheck(o, flow_type) || flow_of(o).reader.get() != &reader) return nullptr;
    return &flow_of(o).record;
}

}  // namespace flowsieve::python
