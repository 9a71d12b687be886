"""flowsieve archives from Python: file layout byte for byte, builder edges, reader robustness, queries, classes."""
import fcntl
import functools
import gc
import ipaddress
import itertools
import os
import pickle
import re
import stat
import struct
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

import flowsieve
from capwriter import MAC_B, MAC_C, T0, arp, block, eth, ipv4, packet, pcap, pcapng, records
from capwriter import written
from test_captures import CAPTURES, NAMES, Format, dissect_all, keys, read_all

RANGE = "out of range integral type conversion attempted"
HEADER, RECORD, INDEX_HEADER, FOOTER = "<8sII48x", "<QBB6x16s16sHH4xQIIQQQ", "<QIQIQI", "<8sII9Q40x"
OFFSETS_POS, PACKET_COUNT = 56, 68  # within a flow record
TABLE_OFF, TABLE_LEN, FLOW_COUNT, INDEX_OFF, INDEX_LEN = -80, -72, -64, -56, -48  # footer fields, from the file end
U64 = 2**64
SHORT_IDS = lambda value: f"{len(value)}B" if isinstance(value, bytes) else None  # byte strings as their length


# ---- an independent model of the builder: capture -> packet records and flows -> archive bytes ----

@dataclass
class ModelFlow:
    id: int
    ip: tuple  # (src bytes, dst bytes, sport, dport, proto) of the first packet, or None
    positions: list
    start: int
    end: int = 0
    total: int = 0
    count: int = None  # packet_count when it differs from len(positions)
    olist: bytes = None  # offset list bytes when they differ from the minimal encoding

    @property
    def fields(self):  # proto, src, dst, sport, dport as stored
        src, dst, sport, dport, proto = self.ip or (b"", b"", 0, 0, 0)
        return proto, addr16(src), addr16(dst), sport, dport

    @property
    def flags(self):  # 1: an IPv6 flow whose addresses include an IPv4-mapped one, stored as IPv4 addresses are
        src, dst = self.ip[:2] if self.ip else (b"", b"")
        return int(len(src) == 16 and MAPPED in (src[:12], dst[:12]))


MAPPED = bytes(10) + b"\xff\xff"


def addr16(raw):
    return bytes(16) if not raw else bytes(10) + b"\xff\xff" + raw if len(raw) == 4 else raw


def leb(value, pad=0):
    out = bytearray()
    while True:
        out.append(value & 0x7F | (0x80 if value > 0x7F else 0))
        value >>= 7
        if not value:
            break
    if pad:  # same value, pad more bytes than needed
        out[-1] |= 0x80
        out += b"\x80" * (pad - 1) + b"\x00"
    return bytes(out)


def offsets(positions, pad=0):
    deltas = [(b - a) % U64 for a, b in zip(positions, positions[1:])]
    return struct.pack("<Q", positions[0]) + b"".join(leb(d, pad) for d in deltas)


def section(pairs, key_bytes):
    pairs = sorted(set(pairs))
    out = struct.pack("<I", len(pairs))
    for key, group in itertools.groupby(pairs, lambda p: p[0]):
        ids = [i for _, i in group]
        out += key_bytes(key) + struct.pack(f"<I{len(ids)}Q", len(ids), *ids)
    return out


def fmt_of(link):
    """The output format of an archive of one link type in microseconds, or the format given."""
    return link if isinstance(link, Format) else Format([link], 65535, False)


def data_start(fmt):
    """Where packet records start: after the list of link types of an archive that has several."""
    return 64 + (4 * len(fmt.links) if len(fmt.links) > 1 else 0)


def header(fmt):
    """Version 2, or 3 with flags (1: nanoseconds, 2: a link type per packet) and the list of link types."""
    multi = len(fmt.links) > 1
    flags = fmt.nano | 2 * multi
    snap = 0 if fmt.snap == 65535 else fmt.snap
    out = struct.pack("<8sIIIII", b"FSIEVE02", 3 if flags else 2, fmt.links[0], snap, flags, len(fmt.links) * multi)
    return out + bytes(64 - len(out)) + (struct.pack(f"<{len(fmt.links)}I", *fmt.links) if multi else b"")


def encode(link, data, flows, sections=None):
    fmt = fmt_of(link)
    version, start = 3 if fmt.nano or len(fmt.links) > 1 else 2, data_start(fmt)
    out = bytearray(header(fmt)) + data
    offsets_off, spans = len(out), []
    for f in flows:
        olist = offsets(f.positions) if f.olist is None else f.olist
        spans.append((len(out), len(olist)))
        out += olist
    table_off = len(out)
    for f, span in zip(flows, spans):
        count = len(f.positions) if f.count is None else f.count
        proto, *rest = f.fields
        out += struct.pack(RECORD, f.id, proto, f.flags, *rest, *span, count, f.start, f.end, f.total)
    index_off = len(out)
    if sections is None:
        rows = [(f.id, *f.fields) for f in flows]
        sections = [section([(r[k], r[0]) for r in rows for k in (2, 3)], bytes),
                    section([(r[k], r[0]) for r in rows for k in (4, 5)], lambda p: struct.pack("<H", p)),
                    section([(r[1], r[0]) for r in rows], lambda p: bytes([p]))]
    a, p, r = sections
    out += struct.pack(INDEX_HEADER, 0, len(a), len(a), len(p), len(a) + len(p), len(r)) + a + p + r
    out += struct.pack(FOOTER, b"FSVEFOOT", version, 0, start, offsets_off - start, offsets_off,
                       table_off - offsets_off, table_off, index_off - table_off, len(flows), index_off,
                       len(out) - index_off)
    return bytes(out)


def model(capture, strategy="session", ips=(), ports=()):
    """(output format, packet data area, flows, capture error) as create_archive sees the capture."""
    _, recs, error, fmt = read_all(capture)
    start, multi, unit = data_start(fmt), len(fmt.links) > 1, 10**9 if fmt.nano else 10**6
    wanted = set()
    for text in ips:
        try:
            wanted.add(ipaddress.ip_address(text).packed)
        except ValueError:
            pass
    data, flows, longest = bytearray(), {}, 65535
    for (sec, frac, frame, orig, frame_link), (ip, *hardware) in zip(recs, dissect_all(recs)):
        if wanted and not (ip and wanted & {ip[0], ip[1]}) or ports and not (ip and set(ports) & {ip[2], ip[3]}):
            continue
        longest = max(longest, len(frame))
        for key in ["all"] if strategy.lower() == "nosplit" else keys(strategy.lower(), ip, *hardware):
            ts, pos = sec * unit + frac, start + len(data)
            data += (struct.pack("<I", frame_link) if multi else b"") + struct.pack("<4I", sec, frac, len(frame), orig)
            data += frame
            f = flows.setdefault(key, ModelFlow(len(flows) + 1, ip, [], ts))
            f.positions.append(pos)
            f.end, f.total = ts, f.total + orig
    if longest > fmt.snap:  # a damaged capture's records kept longer than its snap length: the archive states theirs
        fmt = fmt._replace(snap=longest)
    return fmt, bytes(data), list(flows.values()), error


def raw_record(data, pos):
    n = struct.unpack_from("<I", data, pos - 64 + 8)[0]
    return data[pos - 64:pos - 48 + n]


def as_record(raw):  # (sec, usec, frame, orig) of raw record bytes
    sec, usec, n, orig = struct.unpack_from("<4I", raw)
    return sec, usec, raw[16:16 + n], orig


def addr_text(a16, flags=0):
    if a16[:12] == MAPPED and not flags:
        return ".".join(map(str, a16[12:]))
    return ":".join(a16[i:i + 2].hex() for i in range(0, 16, 2))


PROTO_NAMES = {6: "TCP", 17: "UDP", 1: "ICMP", 58: "ICMPv6"}
FLOW_ATTRS = ["id", "proto", "proto_name", "src_addr", "dst_addr", "src_port", "dst_port", "packet_count",
              "total_bytes", "start_ts", "end_ts"]


def want_attrs(f, nano=False):
    proto, src, dst, sport, dport = f.fields
    seconds = lambda t: (t / 1e9 if t % 1000 else t // 1000 / 1e6) if nano else t / 1e6
    return (f.id, proto, PROTO_NAMES.get(proto, "?"), addr_text(src, f.flags), addr_text(dst, f.flags), sport, dport,
            len(f.positions), f.total, seconds(f.start), seconds(f.end))


def stored_records(data, positions, fmt):
    """(sec, fraction, frame, orig, link type) of the model's records at these positions."""
    out = []
    for pos in positions:
        at = pos - data_start(fmt)
        link = fmt.links[0]
        if len(fmt.links) > 1:
            link, at = struct.unpack_from("<I", data, at)[0], at + 4
        sec, frac, n, orig = struct.unpack_from("<4I", data, at)
        out.append((sec, frac, data[at + 16:at + 16 + n], orig, link))
    return out


def got_packets(flow):
    packets = flow.packets()
    assert all(p.length == len(p.data) for p in packets)
    return [(p.ts_sec, p.ts_usec, p.data, p.orig_len) for p in packets]


def check_archive(path, link, data, flows):
    """Everything the reader shows of an archive equals the model, also through pipe_archive."""
    fmt = fmt_of(link)
    archive = flowsieve.Archive.open(str(path))
    assert (archive.link_type, archive.flow_count, len(archive)) == (fmt.links[0], len(flows), len(flows))
    got = archive.flows()
    assert [tuple(getattr(g, n) for n in FLOW_ATTRS) for g in got] == [want_attrs(f, fmt.nano) for f in flows]
    assert [[(p.ts_sec, p.ts_nsec if fmt.nano else p.ts_usec, p.data, p.orig_len, p.link_type) for p in g.packets()]
            for g in got] == [stored_records(data, f.positions, fmt) for f in flows]
    # An export states a snap length no smaller than its longest record, even where the capture did.
    stored = [stored_records(data, f.positions, fmt) for f in flows]
    assert flowsieve.pipe_archive(str(path)) == [
        written(recs, fmt.links, max([fmt.snap] + [len(r[2]) for r in recs]), fmt.nano) for recs in stored]


def write(path, content):
    path.write_bytes(content)
    return str(path)


def build(tmp_path, capture, *args, **kwargs):
    out = tmp_path / "out.fsieve"
    assert flowsieve.create_archive(write(tmp_path / "in.pcap", capture), str(out), *args, **kwargs) is None
    assert not Path(str(out) + ".tmp").exists()
    return out


# ---- the layout, byte for byte ----

EMPTY = (struct.pack(HEADER, b"FSIEVE02", 2, 1) + struct.pack(INDEX_HEADER, 0, 4, 4, 4, 8, 4) + bytes(12)
         + struct.pack(FOOTER, b"FSVEFOOT", 2, 0, 64, 0, 64, 0, 64, 0, 0, 64, 48))
UDP60 = packet("10.0.0.1", "10.0.0.2", "udp", 1234, 53, bytes(18))


def one_packet_archive():
    key1, key2 = bytes(10) + b"\xff\xff" + bytes([10, 0, 0, 1]), bytes(10) + b"\xff\xff" + bytes([10, 0, 0, 2])
    group = lambda key: key + struct.pack("<IQ", 1, 1)
    return b"".join([
        struct.pack(HEADER, b"FSIEVE02", 2, 1), struct.pack("<4I", T0, 7, 60, 60), UDP60,  # packet record at 64
        struct.pack("<Q", 64),  # offset list at 140
        struct.pack(RECORD, 1, 17, 0, key1, key2, 1234, 53, 140, 8, 1, T0 * 10**6 + 7, T0 * 10**6 + 7, 60),  # at 148
        struct.pack(INDEX_HEADER, 0, 60, 60, 32, 92, 17),  # index at 244
        struct.pack("<I", 2), group(key1), group(key2),  # address section
        struct.pack("<I", 2), group(struct.pack("<H", 53)), group(struct.pack("<H", 1234)),  # ports in numeric order
        struct.pack("<I", 1), group(b"\x11"),  # protocol section
        struct.pack(FOOTER, b"FSVEFOOT", 2, 0, 64, 76, 140, 8, 148, 96, 1, 244, 145)])  # footer at 389


def test_empty_and_one_packet_archives(tmp_path):
    assert len(EMPTY) == 240 and encode(1, b"", []) == EMPTY
    assert build(tmp_path, pcap(records([UDP60])), port_filters=[9]).read_bytes() == EMPTY
    want = one_packet_archive()
    assert len(want) == 517 and want == encode(*model(pcap(records([UDP60])))[:3])
    assert without_flow_fields(build(tmp_path, pcap(records([UDP60]))).read_bytes()) == want


def test_offset_list_example():
    assert offsets([64, 164, 1100]) == bytes.fromhex("4000000000000000 64 a807")
    assert [leb(0), leb(127), leb(128), leb(U64 - 1), leb(100, 1)] == [
        b"\0", b"\x7f", b"\x80\x01", b"\xff" * 9 + b"\x01", b"\xe4\x00"]


MIX = records([
    packet("10.0.0.1", "10.0.0.2", "tcp", 999, 443, b"hello"),
    packet("10.0.0.2", "10.0.0.1", "tcp", 443, 999, b"world!", MAC_B, MAC_C),
    packet("10.0.0.1", "10.0.0.3", "udp", 53, 53, b"q"),  # equal ports
    arp(),
    packet("10.0.0.1", "10.0.0.2", "icmp", payload=b"ping"),
    packet("2001:db8::1", "2001:db8::2", "udp", 5353, 53, b"v6"),
    packet("fe80::1", "ff02::1", "icmp", smac=MAC_C),
    eth(ipv4("10.0.0.4", "10.0.0.4", 50, b"esp!")),  # src == dst host
    packet("::ffff:10.0.0.1", "::ffff:10.0.0.9", "tcp", 80, 8080),  # stored like 10.0.0.1, and marked IPv6
    eth(ipv4("10.0.0.5", "10.0.0.6", 47, b"gre")),
    (T0 - 100, 999_999, packet("10.0.0.2", "10.0.0.1", "tcp", 443, 999), 1514),  # earlier than its flow's start
    (T0 + 50, 1_500_000, packet("10.0.0.1", "10.0.0.2", "tcp", 999, 443, bytes(3000)), 9000),
])
BIG = records([eth(bytes(n), 0x88B5) for n in (100, 262_000, 300, 300_000, 10, 70_000)] + [b""])  # around the write buffer
RAW = records([packet("10.0.0.1", "10.0.0.2", "tcp", 1, 2, raw=True), packet("2001:db8::2", "::1", "udp", 3, 4, raw=True),
               b"\x00junk"])
VALID_IPS = ["10.0.0.2", "2001:db8::2", "10.0.0.4"]
LINK, DATA, FLOWS, _ = model(pcap(MIX))
MIX_ARCHIVE = encode(LINK, DATA, FLOWS)


@pytest.mark.parametrize("capture, kwargs", [
    *[(pcap(MIX), {"strategy": s}) for s in ["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]],
    (pcap(MIX), {"strategy": "HOST", "max_sessions": 1}),
    (pcapng(MIX), {}), (pcap(MIX, order=">", nano=True), {"strategy": "flow"}),
    (pcap(MIX), {"ip_filters": ["10.0.0.3"]}), (pcap(MIX), {"port_filters": [53, 0]}),
    (pcap(MIX), {"strategy": "host", "ip_filters": VALID_IPS, "port_filters": [0, 443, 5353]}),
    (pcap(MIX), {"ip_filters": ["::ffff:10.0.0.1"]}), (pcap(MIX), {"ip_filters": ["10.0.0.1"], "port_filters": [0]}),
    (pcap(BIG), {"strategy": "mac"}), (pcap(MIX + BIG), {"port_filters": [53]}), (pcap(RAW, 101), {}), (pcap(RAW, 228), {"strategy": "mac"}), (pcap([]), {}),
], ids=SHORT_IDS)
def test_archive_equals_independent_encoding(tmp_path, capture, kwargs):
    model_kwargs = {"strategy": kwargs.get("strategy", "session"), "ips": kwargs.get("ip_filters", ()),
                    "ports": kwargs.get("port_filters", ())}
    link, data, flows, _ = model(capture, **model_kwargs)
    out = build(tmp_path, capture, **kwargs)
    assert without_flow_fields(out.read_bytes()) == encode(link, data, flows)
    check_archive(out, link, data, flows)


def without_flow_fields(raw):
    """The archive as it would be without its flow fields section and its name index, which the model leaves out:
    every archive with flows has the section, with each flow's connection facts (test_connections checks them), and
    the names and applications of its flows (test_names checks them). An archive without flows has none, byte for
    byte as before."""
    fields_off, fields_len, names_off, names_len = struct.unpack_from("<QQQQ", raw, len(raw) - 128 + 88)
    if not fields_off:
        return raw
    assert fields_off + fields_len + names_len == len(raw) - 128 and names_off in (0, fields_off + fields_len)
    return raw[:fields_off] + raw[-128:-128 + 88] + bytes(32) + raw[-128 + 120:]


@pytest.mark.skipif(not CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
@pytest.mark.parametrize("strategy", ["session", "host", "mac"])
@pytest.mark.parametrize("name", NAMES)
def test_real_capture(tmp_path, name, strategy):
    capture = (CAPTURES / name).read_bytes()
    link, data, flows, error = model(capture, strategy)
    out = tmp_path / "out.fsieve"
    if error:
        with pytest.raises(RuntimeError, match=f"^{re.escape(error)}$"):
            flowsieve.create_archive(str(CAPTURES / name), str(out), strategy)
        assert Path(str(out) + ".tmp").read_bytes() == encode(link, data, flows)[:data_start(link) + len(data)]
        return
    flowsieve.create_archive(str(CAPTURES / name), str(out), strategy)
    assert without_flow_fields(out.read_bytes()) == encode(link, data, flows)
    check_archive(out, link, data, flows)
    flowsieve.split(str(CAPTURES / name), str(tmp_path / "split"), strategy)
    assert sorted(flowsieve.pipe_archive(str(out))) == sorted(p.read_bytes() for p in (tmp_path / "split").iterdir())


def test_pipe_archive_matches_split_and_pcap_header(tmp_path):
    out = build(tmp_path, pcap(MIX, 1), "host")
    flowsieve.split(str(tmp_path / "in.pcap"), str(tmp_path / "split"), "host")
    piped = flowsieve.pipe_archive(str(out))
    assert sorted(piped) == sorted(p.read_bytes() for p in (tmp_path / "split").iterdir())
    assert all(type(p) is bytes and p[:24] == bytes.fromhex("d4c3b2a1 02000400") + bytes(8) + bytes.fromhex(
        "ffff0000 01000000") for p in piped)
    assert flowsieve.pipe_archive(write(tmp_path / "e.fsieve", EMPTY)) == []
    assert [len(p) for p in flowsieve.pipe_archive(str(build(tmp_path, pcap(records([UDP60])))))] == [24 + 16 + 60]


# ---- builder edges ----

CUT_PCAP = pcap(MIX[:3]) + struct.pack("<IIII", 1, 2, 100, 100) + bytes(60)
CUT_PCAPNG = pcapng(MIX[:3]) + block("<", 6, struct.pack("<5I", 0, 0, 0, 100, 100) + bytes(60))


@pytest.mark.parametrize("content, strategy, exc, message", [
    (None, "bogus", ValueError, "Unknown strategy: bogus"),
    (None, "Sessions", ValueError, "Unknown strategy: Sessions"),
    (None, "session", FileNotFoundError, "No such file or directory (os error 2)"),
    (b"GIF89a" + bytes(40), "session", RuntimeError, "Unsupported file format (unknown magic number)"),
    (pcap([])[:23], "session", RuntimeError, "Invalid PCAP format: file too small for global header"),
], ids=SHORT_IDS)
@pytest.mark.parametrize("call", ["create_archive", "read_flows"])
def test_failures_before_any_file_is_created(tmp_path, content, strategy, exc, message, call):
    temp = Path(f"/tmp/flowsieve_py_{os.getpid()}.fsieve")
    temp.unlink(missing_ok=True)
    source = tmp_path / "in.pcap"
    if content is not None:
        source.write_bytes(content)
    with pytest.raises(exc) as err:
        if call == "create_archive":
            flowsieve.create_archive(str(source), str(tmp_path / "out.fsieve"), strategy)
        else:
            flowsieve.read_flows(str(source), strategy)
    assert exc in type(err.value).__mro__[:2] and str(err.value) == message  # OSErrors: a subclass of exc
    assert sorted(p.name for p in tmp_path.iterdir()) == ([] if content is None else ["in.pcap"])
    assert not temp.exists() and not Path(str(temp) + ".tmp").exists()


@pytest.mark.parametrize("capture, message", [
    (CUT_PCAP, f"Invalid PCAP format: packet incl_len 100 exceeds remaining data at offset {len(pcap(MIX[:3])) + 16}"),
    (CUT_PCAPNG, "Invalid PCAP-NG format: EPB packet data exceeds block"),
])
def test_capture_cut_mid_record_leaves_the_temporary_file(tmp_path, capture, message):
    out, temp = tmp_path / "out.fsieve", tmp_path / "out.fsieve.tmp"
    out.write_bytes(b"earlier archive")
    with pytest.raises(RuntimeError) as err:
        flowsieve.create_archive(write(tmp_path / "in.pcap", capture), str(out))
    assert type(err.value) is RuntimeError and str(err.value) == message
    link, data, flows, _ = model(pcap(MIX[:3]))
    assert out.read_bytes() == b"earlier archive" and temp.read_bytes() == encode(link, data, flows)[:64 + len(data)]
    assert without_flow_fields(build(tmp_path, pcap(MIX[:3])).read_bytes()) == encode(link, data, flows)  # replaces both


@pytest.mark.parametrize("relative", ["missing/a.fsieve", "link.fsieve"])
def test_temporary_file_that_cannot_be_created(tmp_path, relative):
    (tmp_path / "victim").write_bytes(b"keep")
    (tmp_path / "link.fsieve.tmp").symlink_to(tmp_path / "victim")  # planted; must not be followed
    out = tmp_path / relative
    with pytest.raises(OSError) as err:
        flowsieve.create_archive(write(tmp_path / "in.pcap", pcap(MIX)), str(out))
    assert str(err.value) == f"Failed to create temp archive file: {out}.tmp"
    assert (tmp_path / "victim").read_bytes() == b"keep" and not out.exists()


@pytest.mark.parametrize("kind", ["directory", "fifo", "symlink", "device", "stale hard link at the temporary name"])
def test_destination_and_temporary_names_are_never_written_through(tmp_path, kind):
    out, temp, victim = tmp_path / "out.fsieve", tmp_path / "out.fsieve.tmp", tmp_path / "victim"
    victim.write_bytes(b"keep")
    if kind == "device" and os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    {"directory": lambda: out.mkdir(), "fifo": lambda: os.mkfifo(out), "symlink": lambda: out.symlink_to(victim),
     "device": lambda: os.mknod(out, 0o666 | stat.S_IFCHR, os.makedev(1, 3)),  # the numbers of /dev/null
     "stale hard link at the temporary name": lambda: os.link(victim, temp)}[kind]()
    before = os.lstat(out) if out.exists() or out.is_symlink() else None
    reader = os.open(out, os.O_RDONLY | os.O_NONBLOCK) if kind == "fifo" else None
    try:
        flowsieve.create_archive(write(tmp_path / "in.pcap", pcap(MIX)), str(out))
    except OSError as err:
        assert type(err) is OSError and str(err) == f"Not a regular file: {out}" and kind in ("directory", "symlink")
    else:  # a device or FIFO gets the archive as it is
        assert kind == "device" or without_flow_fields(os.read(reader, 1 << 20) if reader else out.read_bytes()) == MIX_ARCHIVE
    if reader:
        os.close(reader)
    if before:
        after = os.lstat(out)
        assert (after.st_mode, after.st_ino, after.st_rdev) == (before.st_mode, before.st_ino, before.st_rdev)
    assert victim.read_bytes() == b"keep" and not temp.exists()


def test_accepted_argument_forms(tmp_path):
    Index, Text = type("Index", (), {"__index__": lambda self: 443}), type("Text", (str,), {})
    source = write(tmp_path / "in.pcap", pcap(MIX))
    flowsieve.create_archive(Text(source), Text(tmp_path / "a"), Text("Flow"), Index(), (Text("10.0.0.2"),), [Index(), True])
    flowsieve.create_archive(output_path=str(tmp_path / "b"), input_path=source, port_filters=(443, 1), strategy="flow",
                             ip_filters=["10.0.0.2"])
    assert without_flow_fields((tmp_path / "a").read_bytes()) == without_flow_fields((tmp_path / "b").read_bytes()) == encode(
        *model(pcap(MIX), "flow", ["10.0.0.2"], [443])[:3])
    archive = flowsieve.Archive.open(path=Text(tmp_path / "a"))
    assert [f.id for f in archive.find_by_port(port=Index())] == [1, 2] and archive.get_flow(flow_id=True).id == 1
    assert len(archive.find_by_protocol(proto_str=Text("tcp")) + archive.find_by_ip(ip_str=Text("10.0.0.2"))) == 4
    assert len(flowsieve.pipe_archive(archive_path=Text(tmp_path / "a"))) == 2


class FsPath:  # any os.PathLike: its path may be str or bytes
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("form, folder", [(Path, ""), (FsPath, ""), (lambda p: FsPath(os.fsencode(p)), ""),
                                          (os.fsencode, ""), (str, os.fsdecode(b"\xff\x1b"))],
                         ids=["Path", "str", "bytes", "plain bytes", "not UTF-8"])
def test_every_path_argument_takes_a_path_like(tmp_path, form, folder):
    tmp_path /= folder  # a name that is not UTF-8, as os.listdir gives it: with surrogate escapes
    tmp_path.mkdir(exist_ok=True)
    source = write(tmp_path / "in.pcap", pcap(MIX))
    for name, as_path in (("str", str), ("form", form)):
        flowsieve.split(as_path(source), as_path(str(tmp_path / name)))
        flowsieve.create_archive(as_path(source), as_path(str(tmp_path / f"{name}.fsieve")))
    assert sorted(os.listdir(tmp_path / "form")) == sorted(os.listdir(tmp_path / "str")) != []
    assert (tmp_path / "form.fsieve").read_bytes() == (tmp_path / "str.fsieve").read_bytes()
    archive = str(tmp_path / "str.fsieve")
    assert flowsieve.pipe_archive(form(archive)) == flowsieve.pipe_archive(archive)
    assert len(flowsieve.Archive.open(form(archive))) == len(flowsieve.read_flows(form(source))) == len(FLOWS)
    assert [len(flowsieve.Archive.open(p)) for p in flowsieve.Store(form(str(tmp_path))).archives] == [len(FLOWS)] * 2


SYS = "/sys/flowsieve-test"  # not even root may create files there


@pytest.mark.parametrize("call, args, exc, errno, filename, message", [
    ("split", ["missing.pcap", "o"], FileNotFoundError, 2, "missing.pcap", "No such file or directory (os error 2)"),
    ("split", [".", "o"], IsADirectoryError, 21, ".", "Is a directory (os error 21)"),
    ("split", ["in.pcap", "in.pcap"], FileExistsError, 17, "in.pcap", "File exists (os error 17)"),
    ("split", ["in.pcap", SYS], PermissionError, None, SYS, None),
    ("create_archive", ["in.pcap", SYS + ".fsieve"], PermissionError, None, SYS + ".fsieve.tmp",
     f"Failed to create temp archive file: {SYS}.fsieve.tmp"),
    ("create_archive", ["in.pcap", "no/a.fsieve"], FileNotFoundError, 2, "no/a.fsieve.tmp",
     "Failed to create temp archive file: no/a.fsieve.tmp"),
    ("read_flows", ["missing.pcap"], FileNotFoundError, 2, "missing.pcap", "No such file or directory (os error 2)"),
    ("pipe_archive", ["missing.fsieve"], FileNotFoundError, 2, "missing.fsieve", "Failed to open archive"),
    ("open", ["missing.fsieve"], FileNotFoundError, 2, "missing.fsieve", "Failed to open archive"),
    ("open", ["in.pcap/x"], NotADirectoryError, 20, "in.pcap/x", "Failed to open archive"),
    ("open", ["."], IsADirectoryError, 21, ".", "Is a directory (os error 21)"),
    ("pipe_archive", ["."], IsADirectoryError, 21, ".", "Is a directory (os error 21)"),
])
def test_os_errors_are_the_subclass_of_their_number(tmp_path, monkeypatch, call, args, exc, errno, filename, message):
    if SYS in filename and not os.path.isdir("/sys/kernel"):
        pytest.skip("no /sys")
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "in.pcap", pcap(MIX))
    function = flowsieve.Archive.open if call == "open" else getattr(flowsieve, call)
    try:
        function(*map(Path, args))
    except exc as e:  # errno, strerror and filename set; the message is its text
        assert e.errno == (errno or e.errno) and e.strerror == os.strerror(e.errno) and e.filename == filename
        assert str(e) == (message or f"{e.strerror} (os error {e.errno})") and e.args == (str(e),)
        again = pickle.loads(pickle.dumps(e))  # as the built-in class, for another process
        assert type(again) is exc and (again.errno, again.filename) == (e.errno, e.filename)
    else:
        pytest.fail("no exception")


# ---- reader ----

def opened(tmp_path, content):
    return flowsieve.Archive.open(write(tmp_path / "x.fsieve", content))


def patch(content, *edits):
    """edits: (offset, struct format, value); negative offsets count from the end."""
    out = bytearray(content)
    for offset, fmt, value in edits:
        struct.pack_into("<" + fmt, out, offset % len(out), value)
    return bytes(out)


TABLE_PAST_END = [patch(EMPTY, (TABLE_LEN, "Q", 240 - 64 + 1)), patch(EMPTY, (TABLE_OFF, "Q", U64 - 1), (TABLE_LEN, "Q", 2))]


@pytest.mark.parametrize("content, message", [
    (None, "Failed to open archive"), (bytes(127), "File too small to be a valid archive"),
    (EMPTY[-127:], "File too small to be a valid archive"), (bytes(128), "Invalid archive footer"),
    (patch(EMPTY, (-121, "B", 0x74)), "Invalid archive footer"), (EMPTY + b"\0", "Invalid archive footer"),
    (EMPTY[-128:], "Invalid archive header"), (patch(EMPTY, (0, "8s", b"FSIEVE01")), "Invalid archive header"),
    (patch(EMPTY, (8, "I", 3)), "Unsupported archive version: 3"),
    (patch(EMPTY, (-120, "I", 1)), "Unsupported archive version: 1"),
    (patch(EMPTY, (8, "I", 2**32 - 1), (-120, "I", 0)), "Unsupported archive version: 4294967295"),
    *[(c, "Flow table extends beyond file") for c in TABLE_PAST_END],
])
def test_open_errors(tmp_path, content, message):
    path = tmp_path / "x.fsieve"
    if content is not None:
        path.write_bytes(content)
    for call, name in itertools.product([flowsieve.Archive.open, flowsieve.pipe_archive], [str(path), f"{path}\0"]):
        with pytest.raises(Exception) as err:
            call(name)
        assert type(err.value).__name__ == ("ValueError" if "\0" in name else "FileNotFoundError" if content is None
                                            else "OSError")
        assert str(err.value) == (message if "\0" not in name else "embedded null byte")


@pytest.mark.parametrize("content, flow_count, link_type", [
    (EMPTY, 0, 1), (patch(EMPTY, (12, "I", 0)), 0, 0), (patch(EMPTY, (16, "8s", b"XXXXXXXX"), (-104, "Q", 9)), 0, 1),
    (patch(EMPTY, (TABLE_LEN, "Q", 95), (FLOW_COUNT, "Q", 5)), 0, 1), (patch(EMPTY, (TABLE_LEN, "Q", 176)), 1, 1),
])
def test_unusual_archives_that_open(tmp_path, content, flow_count, link_type):
    archive = opened(tmp_path, content)
    assert (archive.flow_count, len(archive), bool(archive), archive.link_type) == (
        flow_count, flow_count, flow_count > 0, link_type)
    assert repr(archive) == f"Archive(flows={flow_count}, link_type={link_type})" == str(archive)
    assert len(flowsieve.pipe_archive(str(tmp_path / "x.fsieve"))) == flow_count


QUERY_IPS = ["10.0.0.1", "::ffff:10.0.0.1", "::FFFF:10.0.0.4", "0:0:0:0:0:FFFF:0A00:0002", "10.0.0.9", "2001:db8::1",
             "2001:DB8:0::2", "2001:db8:0:0:0:0:0.0.0.2", "fe80::1", "ff02::1", "::", "0.0.0.0", "1.2.3.4", "::ffff:0:0"]
QUERY_PORTS = [0, 53, 80, 443, 999, 5353, 8080, 1, 65535]
QUERY_PROTOS = ["tcp", "TCP", "Tcp", "udp", "UDP", "icmp", "ICMPv6", "icmpv6", "ICMPV6"]
PROTOCOLS = {"tcp": 6, "udp": 17, "icmp": 1, "icmpv6": 58}


def answers(archive):
    ids = lambda flows: [f.id for f in flows]
    return {"flows": ids(archive.flows()),
            **{("get", i): getattr(archive.get_flow(i), "id", None) for i in [0, 1, 5, len(FLOWS), len(FLOWS) + 1]},
            **{("ip", t): ids(archive.find_by_ip(t)) for t in QUERY_IPS},
            **{("port", p): ids(archive.find_by_port(p)) for p in QUERY_PORTS},
            **{("proto", t): ids(archive.find_by_protocol(t)) for t in QUERY_PROTOS}}


def model_answers(flows, empty=()):
    """The answers of the model; the query kinds in `empty` find nothing (damaged index sections)."""
    pick = lambda kind, test: [] if kind in empty else [f.id for f in flows if test(*f.fields)]
    return {"flows": [f.id for f in flows],
            **{("get", i): i if 1 <= i <= len(flows) else None for i in [0, 1, 5, len(FLOWS), len(FLOWS) + 1]},
            **{("ip", t): pick("ip", lambda _, s, d, *p: addr16(ipaddress.ip_address(t).packed) in (s, d))
               for t in QUERY_IPS},
            **{("port", n): pick("port", lambda *f: n in f[3:]) for n in QUERY_PORTS},
            **{("proto", t): pick("proto", lambda p, *_: p == PROTOCOLS[t.lower()]) for t in QUERY_PROTOS}}


def test_model_answers_cover_every_kind_of_flow():
    want = model_answers(FLOWS)
    assert len(FLOWS) == 9 and want["ip", "10.0.0.1"] == [1, 2, 4, 8] and want["ip", "::"] == [3]
    assert want["port", 0] == [3, 4, 6, 7, 9] and want["port", 53] == [2, 5] and want["proto", "ICMPv6"] == [6]
    assert want["ip", "::FFFF:10.0.0.4"] == [7] and want["ip", "10.0.0.1"] == want["ip", "::ffff:10.0.0.1"]


def section_starts(content):
    index_off = struct.unpack_from("<Q", content, len(content) + INDEX_OFF)[0]
    _, ip_len, _, port_len, _, _ = struct.unpack_from(INDEX_HEADER, content, index_off)
    return [index_off + 36, index_off + 36 + ip_len, index_off + 36 + ip_len + port_len]


def index_edits(content, ip=None, port=None, proto=None):
    """Patches the entry count of each given index section."""
    return patch(content, *[(s, "I", v) for s, v in zip(section_starts(content), [ip, port, proto]) if v is not None])


INDEX_LEN_NOW = struct.unpack_from("<Q", MIX_ARCHIVE, len(MIX_ARCHIVE) + INDEX_LEN)[0]
SAME_ANSWERS = {
    "as built": MIX_ARCHIVE, "no index": patch(MIX_ARCHIVE, (INDEX_OFF, "Q", 0)),
    "index_len 0": patch(MIX_ARCHIVE, (INDEX_LEN, "Q", 0)),
    **{f"index_len {n}": patch(MIX_ARCHIVE, (INDEX_LEN, "Q", n)) for n in (1, 20, 35)},
    "index past end": patch(MIX_ARCHIVE, (INDEX_LEN, "Q", INDEX_LEN_NOW + 129)),
    "index wraps": patch(MIX_ARCHIVE, (INDEX_OFF, "Q", U64 - 16)),
    "entry counts past end": index_edits(MIX_ARCHIVE, 2**32 - 1, 2**32 - 1, 2**32 - 1),
    "reserved header bytes": patch(MIX_ARCHIVE, (16, "8s", b"anything")),
    "flow_count wrong": patch(MIX_ARCHIVE, (FLOW_COUNT, "Q", 2**64 - 1)),
}
DAMAGED = {  # damaged sections answer nothing
    ("ip", "port", "proto"): patch(MIX_ARCHIVE, (INDEX_LEN, "Q", 36)),
    ("ip",): index_edits(MIX_ARCHIVE, ip=0), ("port", "proto"): index_edits(MIX_ARCHIVE, port=0, proto=0),
    ("proto",): patch(MIX_ARCHIVE, (section_starts(MIX_ARCHIVE)[2] + 4 + 1, "I", 2**32 - 1)),  # first group's id count
}


@pytest.mark.parametrize("name", SAME_ANSWERS)
def test_queries_with_any_index_give_the_scan_results(tmp_path, name):
    archive = opened(tmp_path, SAME_ANSWERS[name])
    assert answers(archive) == model_answers(FLOWS)
    assert [got_packets(f) for f in archive.flows()] == [[as_record(raw_record(DATA, p)) for p in f.positions]
                                                         for f in FLOWS]


@pytest.mark.parametrize("empty", DAMAGED)
def test_damaged_index_sections_find_nothing(tmp_path, empty):
    assert answers(opened(tmp_path, DAMAGED[empty])) == model_answers(FLOWS, empty)


def test_index_groups_are_walked_in_stored_order_and_only_matching_flows_answer(tmp_path):
    group = lambda key, *ids: bytes([key]) + struct.pack(f"<I{len(ids)}Q", len(ids), *ids)
    proto = struct.pack("<I", 11) + group(6, 8, 2, 1, 1, 99, 8) + group(6, 3) + group(17, 5, 3, 2) + group(1, 4, 6)
    archive = opened(tmp_path, encode(LINK, DATA, FLOWS, [bytes(4), struct.pack("<I", 0), proto]))
    assert [[f.id for f in archive.find_by_protocol(p)] for p in ["tcp", "udp", "icmp", "icmpv6"]] == [
        [8, 1], [5, 2], [4], []]
    assert archive.find_by_ip("10.0.0.1") == [] and archive.find_by_port(53) == []


@pytest.mark.parametrize("index", [True, False])
def test_flow_table_repeating_an_id(tmp_path, index):
    table_off = struct.unpack_from("<Q", MIX_ARCHIVE, len(MIX_ARCHIVE) + TABLE_OFF)[0]
    content = patch(MIX_ARCHIVE, (table_off + 96, "Q", 1), (table_off + 96 * 8, "Q", 0),
                    *([] if index else [(INDEX_OFF, "Q", 0)]))
    with pytest.raises(OSError, match="Invalid flow table: duplicate flow id 1$"):  # no answer of it could be trusted
        opened(tmp_path, content)


@pytest.mark.parametrize("table_len, count", [(96 * 3, 3), (96 * 3 - 1, 2), (96 * 3 + 95, 3), (0, 0), (50, 0)])
def test_flow_table_length_decides_the_flows(tmp_path, table_len, count):
    archive = opened(tmp_path, patch(MIX_ARCHIVE, (TABLE_LEN, "Q", table_len), (INDEX_OFF, "Q", 0)))
    assert (archive.flow_count, len(archive), [f.id for f in archive.flows()]) == (count, count, list(range(1, count + 1)))
    assert [f.id for f in archive.find_by_ip("10.0.0.1")] == [i for i in [1, 2, 4, 8] if i <= count]


# One flow over three records; the second carries a well-formed record inside its payload at FAKE_AT.
FAKE = struct.pack("<4I", 7, 8, 4, 4) + b"fake"
R = [packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, body + bytes(150)) for body in (b"", FAKE, b"")]
OL_DATA = b"".join(struct.pack("<4I", 1, i, len(r), 1000 + i) + r for i, r in enumerate(R))
P0, P1, P2 = 64, 64 + 16 + len(R[0]), 64 + 32 + len(R[0]) + len(R[1])
FAKE_AT = P1 + 16 + 42
T = 10**6 + 7


@pytest.mark.parametrize("olist, count, want", [
    (offsets([P0, P1, P2]), 3, [P0, P1, P2]), (offsets([P0, P1, P2], pad=1), 3, [P0, P1, P2]),
    (offsets([P0, P1, P2], pad=4), 3, [P0, P1, P2]), (offsets([P0, P1, P2]), 2, [P0, P1]),
    (offsets([P0, P1, P2]), 0, []), (offsets([P0, P1, P2]), 2**32 - 1, [P0, P1, P2]),
    (offsets([P0, P1, P2])[:-1], 3, [P0, P1]), (offsets([P0, P1, P2])[:7], 3, []), (offsets([P0, P1, P2])[:8], 3, [P0]),
    (offsets([P0, FAKE_AT, P2]), 3, [P0, FAKE_AT, P2]), (offsets([P0, P1, FAKE_AT, P2]), 4, [P0, P1, P2]),
    (offsets([P0, P0, P1]), 3, [P0, P1]), (offsets([P1, P0, P2]), 3, [P1, P2]), (offsets([P0, FAKE_AT, P1]), 3, [P0, FAKE_AT]),
    (offsets([U64 - 16, P0, P1]), 3, [P0, P1]), (offsets([P0, P0 + 2**63, P2]), 3, [P0, P2]),
    (lambda size: offsets([size - 15, P1]), 2, [P1]), (offsets([2**40, P2]), 2, [P2]),
    (offsets([P0]) + b"\x80" * 9 + b"\x02" + leb(P1 - P0), 3, [P0]),
    (offsets([P0]) + b"\x80" * 9 + b"\x01" + leb(P1 - P0), 3, [P0]),  # 64 + 2**63 is outside; no wrap back
], ids=SHORT_IDS)
def test_offset_lists(tmp_path, olist, count, want):
    content = lambda olist: encode(1, OL_DATA, [ModelFlow(1, None, [P0, P1, P2], T, T, 3, count=count, olist=olist)])
    content = content(olist(len(content(olist(10**6)))) if callable(olist) else olist)  # by the file size
    raw = [raw_record(OL_DATA, p) if p != FAKE_AT else FAKE for p in want]
    assert got_packets(opened(tmp_path, content).get_flow(1)) == [as_record(r) for r in raw]
    assert flowsieve.pipe_archive(str(tmp_path / "x.fsieve")) == [pcap([as_record(r) for r in raw])]


def test_packet_record_outside_the_file_is_skipped(tmp_path):
    content = patch(encode(1, OL_DATA, [ModelFlow(1, None, [P0, P1, P2], T, T, 3)]), (P1 + 8, "I", 2**32 - 1))
    assert [p.ts_usec for p in opened(tmp_path, content).get_flow(1).packets()] == [0, 2]
    assert flowsieve.pipe_archive(str(tmp_path / "x.fsieve")) == [pcap([as_record(raw_record(OL_DATA, p))
                                                                       for p in (P0, P2)])]


@pytest.mark.parametrize("pos, length", [(None, 2**32 - 1), (len(MIX_ARCHIVE) - 7, 8), (U64 - 1, 8), (U64 - 8, 16)])
def test_offset_list_outside_the_file(tmp_path, pos, length):
    table_off = struct.unpack_from("<Q", MIX_ARCHIVE, len(MIX_ARCHIVE) + TABLE_OFF)[0]
    edits = [(table_off + 96 + 64, "I", length)] + ([] if pos is None else [(table_off + 96 + OFFSETS_POS, "Q", pos)])
    archive = opened(tmp_path, patch(MIX_ARCHIVE, *edits))
    with pytest.raises(RuntimeError, match="^Offset list extends beyond file$"):
        archive.get_flow(2).packets()
    with pytest.raises(RuntimeError, match="^Offset list extends beyond file$"):
        flowsieve.pipe_archive(str(tmp_path / "x.fsieve"))
    assert len(archive.get_flow(1).packets()) == 4 and archive.get_flow(2).packet_count == 1


def test_huge_counts_in_a_tiny_archive_are_cheap(tmp_path):
    content = index_edits(MIX_ARCHIVE, 2**32 - 1, 2**32 - 1, 2**32 - 1)
    table_off = struct.unpack_from("<Q", content, len(content) + TABLE_OFF)[0]
    content = patch(content, *[(table_off + 96 * i + PACKET_COUNT, "I", 2**32 - 1) for i in range(len(FLOWS))])
    code = ("import resource, sys, time, flowsieve\nresource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
            "start = time.monotonic()\nfor _ in range(20):\n    a = flowsieve.Archive.open(sys.argv[1])\n"
            "    n = [len(f.packets()) for f in a.flows()], len(flowsieve.pipe_archive(sys.argv[1]))\n"
            "    q = [f.id for f in a.find_by_port(7) + a.find_by_ip('::') + a.find_by_protocol('icmp')]\n"
            "print(n, q, time.monotonic() - start < 2)")
    result = subprocess.run([sys.executable, "-c", code, write(tmp_path / "x.fsieve", content)], capture_output=True,
                            text=True, timeout=60)
    assert result.stdout == f"{([len(f.positions) for f in FLOWS], 9)} [3, 4] True\n", result.stderr


# ---- queries, classes and module from Python ----

@pytest.fixture
def mix(tmp_path):
    return flowsieve.Archive.open(write(tmp_path / "mix.fsieve", MIX_ARCHIVE))


@pytest.mark.parametrize("method, args, kwargs, exc, message", [
    ("get_flow", (), {}, TypeError, "Archive.get_flow() missing 1 required positional argument: 'flow_id'"),
    ("get_flow", (1, 2), {}, TypeError, "Archive.get_flow() takes 1 positional arguments but 2 were given"),
    ("get_flow", (), {"id": 1}, TypeError, "Archive.get_flow() got an unexpected keyword argument 'id'"),
    ("get_flow", (1,), {"flow_id": 1}, TypeError, "Archive.get_flow() got multiple values for argument 'flow_id'"),
    ("get_flow", (-1,), {}, OverflowError, "can't convert negative int to unsigned"),
    ("get_flow", (U64,), {}, OverflowError, RANGE),
    ("get_flow", ("1",), {}, TypeError, "argument 'flow_id': 'str' object cannot be interpreted as an integer"),
    ("find_by_port", (65536,), {}, OverflowError, RANGE), ("find_by_port", (-1,), {}, OverflowError, RANGE),
    ("find_by_port", (80.0,), {}, TypeError, "argument 'port': 'float' object cannot be interpreted as an integer"),
    ("find_by_port", (), {}, TypeError, "Archive.find_by_port() missing 1 required positional argument: 'port'"),
    ("find_by_ip", (None,), {}, TypeError, "argument 'ip_str': 'NoneType' object cannot be converted to 'PyString'"),
    ("find_by_ip", (), {"ip": "::"}, TypeError, "Archive.find_by_ip() got an unexpected keyword argument 'ip'"),
    ("find_by_protocol", (6,), {}, TypeError, "argument 'proto_str': 'int' object cannot be converted to 'PyString'"),
    *[("find_by_ip", (t,), {}, ValueError, "invalid IP address syntax") for t in [
        "", "nope", "10.0.0.256", "10.0.0", "010.0.0.1", "10.0.0.1/32", " 10.0.0.1", "[::1]", "fe80::1%eth0", "1::2::3",
        "::1:", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7::8", "::12345", "::ffff:1.2.3", "10.0.0.1\0", "１.2.3.4"]],
    *[("find_by_protocol", (t,), {}, ValueError, f"Unknown protocol: {low}. Valid: tcp, udp, icmp, icmpv6") for t, low in [
        ("sctp", "sctp"), ("SCTP", "sctp"), ("", ""), (" tcp", " tcp"), ("6", "6"), ("İCMP", "i̇cmp"), ("ICMPv4", "icmpv4")]],
    ("flows", (1,), {}, TypeError, None), ("flows", (), {"x": 1}, TypeError, None), ("packets", (1,), {}, TypeError, None),
])
def test_method_argument_errors(mix, method, args, kwargs, exc, message):
    with pytest.raises(exc) as err:
        getattr(mix.get_flow(1) if method == "packets" else mix, method)(*args, **kwargs)
    assert type(err.value) is exc and message in (None, str(err.value))


def test_query_edges(mix):
    assert mix.get_flow(0) is None and mix.get_flow(10) is None and mix.get_flow(U64 - 1) is None
    assert mix.get_flow(True).id == 1 and type(mix.get_flow(9)) is flowsieve.Flow
    assert [f.id for f in mix.find_by_port(53)] == [2, 5]  # flow 2 has 53 on both sides and comes once
    assert [f.id for f in mix.find_by_protocol("ICMPV6")] == [6] and mix.get_flow(6).proto == 58
    assert [f.id for f in mix.find_by_ip("::")] == [3] and mix.find_by_ip("0.0.0.0") == []
    assert all(type(r) is list for r in (mix.flows(), mix.find_by_ip("::1"), mix.find_by_port(1), mix.find_by_protocol("udp")))
    assert mix.get_flow(1) is not mix.get_flow(1) and mix.get_flow(1) != mix.get_flow(1)
    assert {f.proto: f.proto_name for f in mix.flows()} == {
        6: "TCP", 17: "UDP", 0: "?", 1: "ICMP", 58: "ICMPv6", 50: "?", 47: "?"}


TCP_PAIR = [packet("10.0.0.1", "10.0.0.2", "tcp", 999, 443), packet("10.0.0.2", "10.0.0.1", "tcp", 443, 999)]
REPR_CAPTURE = pcap(records([(T0 + i, i, TCP_PAIR[i % 2], 350 if i < 11 else 392) for i in range(12)] + [
    (2, 1_500_000, packet("2001:db8::1", "2001:db8::ff", "udp", 53, 5353), 100), (1, 5, UDP60)]))
V6, ZERO = "2001:0db8:0000:0000:0000:0000:0000:", ":".join(["0000"] * 8)


def test_reprs(tmp_path):
    archive = flowsieve.read_flows(write(tmp_path / "in.pcap", REPR_CAPTURE))
    flows = archive.flows()
    assert [repr(archive)] + [repr(f) for f in flows] == [str(archive)] + [str(f) for f in flows] == [
        "Archive(flows=3, link_type=1)",
        "Flow(id=1, TCP 10.0.0.1:999 -> 10.0.0.2:443, 12 pkts, 4242 bytes)",
        f"Flow(id=2, UDP {V6}0001:53 -> {V6}00ff:5353, 1 pkts, 100 bytes)",
        "Flow(id=3, UDP 10.0.0.1:1234 -> 10.0.0.2:53, 1 pkts, 60 bytes)"]
    packets = flows[1].packets() + flows[2].packets()
    assert [repr(p) for p in packets] == [str(p) for p in packets] == [
        "Packet(ts=3.500000, length=62, orig_len=100)", "Packet(ts=1.000005, length=60, orig_len=60)"]
    zero = opened(tmp_path, MIX_ARCHIVE).get_flow(3)
    assert repr(zero) == f"Flow(id=3, ? {ZERO}:0 -> {ZERO}:0, 1 pkts, 42 bytes)"


ATTRS = {
    "Archive": {"flow_count": int, "link_type": int},
    "Flow": {"id": int, "proto": int, "proto_name": str, "src_addr": str, "dst_addr": str, "src_port": int,
             "dst_port": int, "packet_count": int, "total_bytes": int, "start_ts": float, "end_ts": float},
    "Packet": {"ts_sec": int, "ts_usec": int, "length": int, "orig_len": int, "ts": float, "data": bytes},
}


def test_attributes_types_and_read_only(mix):
    flow = mix.get_flow(1)
    for obj in [mix, flow, flow.packets()[0]]:
        name = type(obj).__name__
        for attr, kind in ATTRS[name].items():
            assert type(getattr(obj, attr)) is kind
            with pytest.raises(AttributeError):
                setattr(obj, attr, getattr(obj, attr))
            with pytest.raises(AttributeError):
                delattr(obj, attr)
            doc = getattr(getattr(flowsieve, name), attr).__doc__
            assert doc == ("Raw L2 frame data (Ethernet frame or equivalent)." if attr == "data" else None)
    packet = flow.packets()[-1]
    assert (packet.ts_sec, packet.ts_usec, packet.ts, flow.start_ts, flow.end_ts) == (
        T0 + 50, 1_500_000, 1_500_000 / 1e6 + T0 + 50, (T0 * 10**6 + 7) / 1e6, (T0 * 10**6 + 1_500_000 + 50 * 10**6) / 1e6)
    assert packet.data is not packet.data and packet.data == packet.data == MIX[11][2]


@pytest.mark.parametrize("name", ["Archive", "Flow", "Packet"])
def test_classes_have_no_constructor_and_no_subclasses(name):
    cls = getattr(flowsieve, name)
    for args, kwargs in [((), {}), ((1,), {"x": 2})]:
        with pytest.raises(TypeError) as err:
            cls(*args, **kwargs)
        assert str(err.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert (cls.__name__, cls.__qualname__, cls.__doc__) == (name, name, None)


DOCS = [
    ("create_archive", '(input_path, output_path, strategy="session", max_sessions=10000, ip_filters=..., port_filters=..., '
                       'tunnels="outer", *, dedup=False, idle_timeouts=None)',
     "Create a .fsieve archive from a pcap/pcapng file."),
    ("read_flows", '(input_path, strategy="session", max_sessions=10000, ip_filters=..., port_filters=..., '
                   'tunnels="outer", *, dedup=False, idle_timeouts=None)',
     "Directly read a pcap/pcapng file and return all flows as an Archive.\n\nInternally creates a temporary .fsieve "
     "archive, opens it, and returns\nthe Archive. The temp file is cleaned up when the Archive is garbage collected."),
    ("pipe_archive", "(archive_path)", "Yield each flow from a .fsieve archive as a complete pcap file (bytes).\n"
                                       "Returns a list of bytes; each bytes object is a standalone pcap file."),
    ("Archive.open", "(path)", "Open a .fsieve archive file."),
    ("Archive.flows", "($self)", "Return all flows as a list of Flow objects."),
    ("Archive.get_flow", "($self, flow_id)", "Get a specific flow by ID."),
    ("Archive.find_by_ip", "($self, ip_str)", "Find flows matching an IP address (src or dst)."),
    ("Archive.find_by_port", "($self, port)", "Find flows matching a port number (src or dst)."),
    ("Archive.find_by_protocol", "($self, proto_str)", 'Find flows matching a protocol: "tcp", "udp", or "icmp".'),
    ("Flow.packets", "($self)", "Return all packets in this flow as a list of Packet objects."),
]


@pytest.mark.parametrize("name, signature, doc", DOCS)
def test_doc_strings_and_signatures(name, signature, doc):
    obj = functools.reduce(getattr, name.split("."), flowsieve)
    assert (obj.__text_signature__, obj.__doc__) == (signature, doc)
    if "." not in name:
        assert (obj.__name__, obj.__module__) == (name, "flowsieve")


def test_module_surface():
    assert flowsieve.__all__ == ["Archive", "Flow", "Packet", "Store", "FlowArrays", "create_archive", "split",
                                 "pipe_archive", "flow_arrays", "read_flows"]
    assert all(hasattr(flowsieve, n) for n in flowsieve.__all__)


@pytest.mark.parametrize("name, args, kwargs, exc, message", [
    ("create_archive", (), {}, TypeError,
     "create_archive() missing 2 required positional arguments: 'input_path' and 'output_path'"),
    ("create_archive", ("a", "b", "session", 1, [], [], "outer", 8), {}, TypeError,
     "create_archive() takes from 2 to 7 positional arguments but 8 were given"),
    ("create_archive", ("a", "b"), {"buffer_bytes": 1}, TypeError,
     "create_archive() got an unexpected keyword argument 'buffer_bytes'"),
    ("create_archive", ("a", "b"), {"port_filters": [80, 65536]}, OverflowError, RANGE),
    ("create_archive", ("a", "b"), {"max_sessions": 2**32}, OverflowError, RANGE),
    ("create_archive", ("a", "b"), {"ip_filters": None}, TypeError,
     "argument 'ip_filters': 'NoneType' object cannot be converted to 'Sequence'"),
    ("read_flows", (), {}, TypeError, "read_flows() missing 1 required positional argument: 'input_path'"),
    ("read_flows", ("a",), {"input_path": "a"}, TypeError, "read_flows() got multiple values for argument 'input_path'"),
    ("read_flows", ("a", "session", 1, [], [], "outer", 7), {}, TypeError,
     "read_flows() takes from 1 to 6 positional arguments but 7 were given"),
    ("read_flows", ("a",), {"ip_filters": "10.0.0.1"}, TypeError, "argument 'ip_filters': Can't extract `str` to `Vec`"),
    ("read_flows", ("a",), {"max_sessions": -1}, OverflowError, RANGE),
    ("pipe_archive", (), {}, TypeError, "pipe_archive() missing 1 required positional argument: 'archive_path'"),
    ("pipe_archive", ("a", "b"), {}, TypeError, "pipe_archive() takes 1 positional arguments but 2 were given"),
    ("pipe_archive", (bytearray(b"a"),), {}, TypeError,
     "argument 'archive_path': 'bytearray' object cannot be converted to 'PyString'"),
    ("Archive.open", (), {}, TypeError, "Archive.open() missing 1 required positional argument: 'path'"),
    ("Archive.open", ("a",), {"mode": "r"}, TypeError, "Archive.open() got an unexpected keyword argument 'mode'"),
    ("Archive.open", (3,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
])
def test_function_argument_errors(tmp_path, monkeypatch, name, args, kwargs, exc, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc) as err:
        functools.reduce(getattr, name.split("."), flowsieve)(*args, **kwargs)
    assert type(err.value) is exc and str(err.value) == message
    assert list(tmp_path.iterdir()) == []


def test_flows_and_packets_outlive_their_archive(tmp_path):
    archive = opened(tmp_path, MIX_ARCHIVE)
    flow, packet = archive.get_flow(1), archive.get_flow(5).packets()[0]
    del archive
    gc.collect()
    (tmp_path / "x.fsieve").unlink()
    assert got_packets(flow) == [as_record(raw_record(DATA, p)) for p in FLOWS[0].positions]
    assert packet.data == MIX[5][2] and repr(flow).startswith("Flow(id=1, TCP 10.0.0.1:999 -> 10.0.0.2:443, 4 pkts")


def test_read_flows_temporary_archive(tmp_path):
    temp = Path(f"/tmp/flowsieve_py_{os.getpid()}.fsieve")
    first = flowsieve.read_flows(write(tmp_path / "mix.pcap", pcap(MIX)), "Flow", 1, ["10.0.0.1"], [443, 999])
    assert type(first) is flowsieve.Archive and without_flow_fields(temp.read_bytes()) == encode(
        *model(pcap(MIX), "flow", ["10.0.0.1"], [443, 999])[:3])
    assert stat.S_IMODE(temp.stat().st_mode) == 0o600
    flows = first.flows()
    second = flowsieve.read_flows(write(tmp_path / "one.pcap", pcap(records([UDP60]))))  # replaces the file
    assert without_flow_fields(temp.read_bytes()) == one_packet_archive() and len(first) == 2 and len(second) == 1
    del first
    gc.collect()
    # the path names the second's archive: not the first's to delete
    assert without_flow_fields(temp.read_bytes()) == one_packet_archive()
    assert [p.data for p in second.flows()[0].packets()] == [UDP60]
    temp.unlink()
    temp.write_bytes(b"someone else's")
    del second
    gc.collect()
    assert temp.read_bytes() == b"someone else's"
    temp.unlink()
    assert [[p.data for p in f.packets()] for f in flows] == [[MIX[0][2], MIX[11][2]], [MIX[1][2], MIX[10][2]]]
    with pytest.raises(RuntimeError):
        flowsieve.read_flows(write(tmp_path / "cut.pcap", CUT_PCAP))
    assert not temp.exists() and not Path(f"{temp}.tmp").exists()  # a failed call leaves nothing


@pytest.mark.parametrize("plant, error", [
    ("hard link at .tmp", None),  # a stale file: removed, never written through
    ("held hard link at .tmp", "Failed to create temp archive file: {temp}.tmp (another run is writing it)"),
    ("symlink at .tmp", "Failed to create temp archive file: {temp}.tmp"),
    ("symlink at the final name", "Not a regular file: {temp}"),
    ("hard link at the final name", None),  # replaced by the rename
])
def test_read_flows_with_files_planted_at_its_names(tmp_path, plant, error):
    temp = Path(f"/tmp/flowsieve_py_{os.getpid()}.fsieve")
    where, victim = Path(f"{temp}.tmp") if ".tmp" in plant else temp, tmp_path / "victim"
    victim.write_bytes(b"keep")
    where.symlink_to(victim) if "symlink" in plant else os.link(victim, where)
    try:
        with open(victim, "rb") as held:
            if "held" in plant:
                fcntl.flock(held, fcntl.LOCK_EX)
            if error is None:
                archive = flowsieve.read_flows(write(tmp_path / "one.pcap", pcap(records([UDP60]))))
                assert without_flow_fields(temp.read_bytes()) == one_packet_archive() and not temp.is_symlink()
                assert stat.S_IMODE(temp.stat().st_mode) == 0o600 and not Path(f"{temp}.tmp").exists()
                del archive
                gc.collect()
                assert not temp.exists()
            else:
                with pytest.raises(OSError) as err:
                    flowsieve.read_flows(write(tmp_path / "one.pcap", pcap(records([UDP60]))))
                assert str(err.value) == error.format(temp=temp)
                assert where.is_symlink() == ("symlink" in plant)  # left as planted, and nothing else made
                assert {p.name for p in temp.parent.glob(temp.name + "*")} == {where.name}
        assert victim.read_bytes() == b"keep"
    finally:
        for p in (temp, Path(f"{temp}.tmp")):
            p.unlink(missing_ok=True)
