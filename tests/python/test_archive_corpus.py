"""Archives of the real captures against split's files, and damaged archives read in a child process."""
import collections
import functools
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys

import pytest

import flowsieve
import test_captures as tc
from capwriter import arp, packet, pcap, written

STRATEGIES = ["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]
needs_corpus = pytest.mark.skipif(not tc.CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
ZERO = ":".join(["0000"] * 8)
MAPPED = bytes(10) + b"\xff\xff"


def listing(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()} if directory.is_dir() else {}


def record_list(data, pos):
    """[(sec, usec, frame, orig_len)] of little-endian packet records from pos to the very end of data."""
    out = []
    while pos < len(data):
        sec, usec, incl, orig = struct.unpack_from("<4I", data, pos)
        out.append((sec, usec, data[pos + 16:pos + 16 + incl], orig))
        pos += 16 + incl
    assert pos == len(data), "records run exactly to the end"
    return out


def addr_text(a):  # an IPv6 address stays IPv6 when IPv4-mapped
    return ".".join(map(str, a)) if len(a) == 4 else ":".join(a[i:i + 2].hex() for i in range(0, 16, 2))


def first_packet_tuple(frame, link):
    ip = tc.dissect(frame, link)[0]
    if ip is None:
        return 0, ZERO, ZERO, 0, 0
    src, dst, sport, dport, proto = ip
    return proto, addr_text(src), addr_text(dst), sport, dport


def seconds(rec, nano):
    if not nano:
        return (rec[0] * 10**6 + rec[1]) / 10**6
    ns = rec[0] * 10**9 + rec[1]
    return ns / 1e9 if ns % 1000 else ns // 1000 / 1e6


@needs_corpus
@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("name", tc.NAMES)
def test_archive_holds_what_split_writes(tmp_path, name, strategy):
    source, out, path = str(tc.CAPTURES / name), tmp_path / "out", tmp_path / "a.fsieve"
    errors = []
    for call in (flowsieve.split, flowsieve.create_archive):
        try:
            errors.append(call(source, str(out if call is flowsieve.split else path), strategy))
        except RuntimeError as exc:
            errors.append(str(exc))
    assert errors[0] == errors[1]
    split_files = listing(out)
    link, _, _, fmt = tc.read_all((tc.CAPTURES / name).read_bytes())
    if errors[0] is not None:  # both stopped at a bad record, after writing every packet before it
        assert not path.exists()
        assert all(n.startswith(".") and n.endswith(".tmp") for n in split_files)
        left = (tmp_path / "a.fsieve.tmp").read_bytes()
        assert left[:20] == b"FSIEVE02" + struct.pack("<III", 2, link, 0)
        split_recs = [r for data in split_files.values() for r in record_list(data, 24)]
        assert collections.Counter(record_list(left, 64)) == collections.Counter(split_recs)
        return
    archive = flowsieve.Archive.open(str(path))
    flows = archive.flows()
    assert [f.id for f in flows] == list(range(1, len(flows) + 1))
    assert (len(archive), archive.flow_count, archive.link_type) == (len(flows), len(flows), link)
    recs = []
    for flow in flows:
        packets = flow.packets()
        assert [p.length for p in packets] == [len(p.data) for p in packets]
        recs.append([(p.ts_sec, p.ts_nsec if fmt.nano else p.ts_usec, p.data, p.orig_len, p.link_type)
                     for p in packets])
    rebuilt = [written(r, *fmt) for r in recs]
    want, got = collections.Counter(split_files.values()), collections.Counter(rebuilt)
    assert [n for n, data in split_files.items() if data in want - got] == []
    assert [f for f, data in zip(flows, rebuilt) if data in got - want] == []
    piped = flowsieve.pipe_archive(str(path))
    assert len(piped) == len(rebuilt)
    assert [f for f, a, b in zip(flows, piped, rebuilt) if a != b] == []
    for flow, r in zip(flows, recs):  # the records equal split's, so the metadata can be taken from them
        assert (flow.packet_count, flow.total_bytes, flow.start_ts, flow.end_ts) == (
            len(r), sum(rec[3] for rec in r), seconds(r[0], fmt.nano), seconds(r[-1], fmt.nano)), flow
        assert (flow.proto, flow.src_addr, flow.dst_addr, flow.src_port, flow.dst_port) == first_packet_tuple(
            r[0][2], r[0][4]), flow

# ---- damaged archives -------------------------------------------------------------------------------------------

FIELDS = ["data_off", "data_len", "offsets_off", "offsets_len", "table_off", "table_len", "flow_count", "index_off",
          "index_len"]
HOSTILE = [0, 1, 35, 36, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64 - 8, 2**64 - 16, 2**64 - 36, 2**64 - 96]
OPEN_ERRORS = {"Failed to open archive", "File too small to be a valid archive", "Failed to mmap archive",
               "Invalid archive footer", "Invalid archive header", "Flow table extends beyond file"}
OFFSETS_ERROR = "Offset list extends beyond file"

# Runs in a child with a 2 GiB address-space limit. For each archive it prints "BEGIN i", then [i, problems].
CHILD = r"""
import json, resource, struct, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
import flowsieve
job = json.load(sys.stdin)

def check(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        archive = flowsieve.Archive.open(path)
    except OSError as exc:
        known = str(exc) in job["open_errors"] or str(exc).startswith(("Unsupported archive version: ",
                                                                       "Invalid flow table: duplicate flow id "))
        return [] if known else ["open failed with " + repr(exc)]
    problems, flows = [], archive.flows()
    if not len(flows) == len(archive) == archive.flow_count:
        problems.append("flow counts differ")
    ids = [0] + [f.id for f in flows]
    by_id = {i: archive.get_flow(i) for i in ids}
    first = {}
    for f in flows:
        first.setdefault(f.id, f)
    if any(repr(by_id[i]) != repr(first.get(i)) for i in ids):
        problems.append("get_flow does not give the first record with the id")
    addrs = set(job["addrs"]) | {"::"} | {a for f in flows for a in (f.src_addr, f.dst_addr)}
    ports = set(job["ports"]) | {0} | {p for f in flows for p in (f.src_port, f.dst_port)}
    results = [archive.find_by_ip(a) for a in sorted(addrs)] + [archive.find_by_port(p) for p in sorted(ports)]
    results += [archive.find_by_protocol(p) for p in ("tcp", "udp", "icmp", "icmpv6")]
    for result in results:
        got = [f.id for f in result]
        if len(set(got)) != len(got):
            problems.append("a query lists a flow twice: %r" % got)
        if any(repr(f) != repr(first.get(f.id)) for f in result):
            problems.append("a query gives a flow that is not the first record with its id")
    # An export is in the archive's precision and states its snap length, or the longest record's if larger.
    version, _, snap, flags = struct.unpack_from("<4I", data, 8)
    nano, several = version == 3 and flags & 1, version == 3 and flags & 2
    magic = 0xA1B23C4D if nano else 0xA1B2C3D4
    header = lambda packets: struct.pack("<IHHiIII", magic, 2, 4, 0, 0, max([snap or 65535] + [p.length for p in packets]),
                                         archive.link_type)
    rebuilt = []
    for f in flows:
        f.start_ts, f.end_ts
        try:
            packets = f.packets()
        except RuntimeError as exc:
            if str(exc) != job["offsets_error"]:
                raise
            rebuilt.append(None)
            continue
        recs, end = [], 0
        for p in packets:
            rec = struct.pack("<4I", p.ts_sec, p.ts_nsec if nano else p.ts_usec, p.length, p.orig_len) + p.data
            at = data.find(rec, end)  # records of a flow lie in the file, in order, without overlap
            if at < 0 or len(p.data) != p.length:
                problems.append("flow %d: packet %r is not a record of the file after the previous one" % (f.id, p))
                break
            end = at + len(rec)
            recs.append(rec)
        rebuilt.append(header(packets) + b"".join(recs))
    try:
        piped = flowsieve.pipe_archive(path)
    except RuntimeError as exc:
        if str(exc) != job["offsets_error"]:
            raise
        piped = None
    if (piped is None) != (None in rebuilt):
        problems.append("pipe_archive and Flow.packets disagree on failing")
    elif several:  # pcapng, which this check does not rebuild
        pass
    elif piped is not None and sum(map(len, rebuilt)) - 24 * len(rebuilt) <= len(data):
        if piped != rebuilt:
            problems.append("pipe_archive differs from Flow.packets")
    elif piped is not None:  # flows that share records may be cut short, to keep the output within the file size
        for f, blob, recs in zip(flows, piped, rebuilt):
            pos, end = 24, 24
            while pos < len(blob) and blob[:16] + blob[20:24] == recs[:16] + recs[20:24]:
                size = 16 + struct.unpack_from("<I", blob, pos + 8)[0]
                end = recs.find(blob[pos:pos + size], end)
                if end < 0:
                    break
                pos, end = pos + size, end + size
            if pos != len(blob):
                problems.append("pipe_archive gives flow %d records that Flow.packets does not" % f.id)
    return problems

for i, path in enumerate(job["paths"]):
    print("BEGIN", i, flush=True)
    print(json.dumps([i, check(path)]), flush=True)
"""


def synthetic_capture():
    """IPv4 and IPv6 TCP, UDP and ICMP flows, one host talking to itself, an ARP frame and a 17000-byte frame."""
    rng = random.Random("synthetic")
    kinds = [("10.0.0.1", "10.0.0.2", "tcp", 1234, 80), ("10.0.0.2", "10.0.0.1", "tcp", 80, 1234),
             ("10.0.0.1", "10.0.0.3", "udp", 53, 53), ("2001:db8::1", "2001:db8::2", "udp", 5353, 5353),
             ("2001:db8::1", "ff02::1", "icmp", 0, 0), ("10.0.0.3", "10.0.0.3", "icmp", 0, 0)]
    frames = [arp()] + [packet(*rng.choice(kinds), payload=bytes(rng.choice([0, 10, 200]))) for _ in range(50)]
    frames.insert(20, packet(*kinds[0], payload=bytes(17000)))
    return pcap(frames)


def mutations(base, source):
    """(label, archive bytes) pairs; each random choice is seeded by the source and the label."""
    size, out = len(base), []
    fields = dict(zip(FIELDS, struct.unpack_from("<9Q", base, size - 112)))
    field_pos = {name: size - 112 + 8 * i for i, name in enumerate(FIELDS)}

    def rng(label):
        return random.Random(f"{source}: {label}")

    def patch(label, *edits):  # edits: (position, struct format, value)
        data = bytearray(base)
        for pos, fmt, value in edits:
            struct.pack_into("<" + fmt, data, pos, value)
        out.append((label, bytes(data)))

    r = rng("cuts")
    cuts = sorted({0, 1, 64, 127, 128, 129, size - 129, size - 128, size - 1} | {r.randrange(size) for _ in range(12)})
    out += [(f"truncated to {n}", base[:n]) for n in cuts]
    out += [(f"cut to {n}, footer kept", base[:n] + base[-128:]) for n in cuts if n < size - 128]
    out.append(("junk after the footer", base + bytes(7)))
    areas = {"header": (0, 64), "data": (64, fields["data_len"]), "footer": (size - 120, 120),
             "offsets": (fields["offsets_off"], fields["offsets_len"]),
             "table": (fields["table_off"], fields["table_len"]), "index": (fields["index_off"], fields["index_len"])}
    for area, (start, length) in areas.items():
        for i in range(10):
            r = rng(f"{area} random bytes #{i}")
            n = length if i == 9 else r.randint(1, 8)  # the last one rewrites the whole area
            patch(f"{area} random bytes #{i}", *[(start + (k if i == 9 else r.randrange(length)), "B", r.randrange(256))
                                                 for k in range(n)])
    for name in FIELDS:
        for value in HOSTILE + [size - 128, size - 1, size]:
            patch(f"footer {name}={value}", (field_pos[name], "Q", value))
    for k in (1, 2, 1000):  # sums that wrap around to a position inside the file
        patch(f"table_off wraps by {k}", (field_pos["table_off"], "Q", 2**64 - 96 * k),
              (field_pos["table_len"], "Q", 96 * k + fields["table_off"]))
        patch(f"index_off wraps by {k}", (field_pos["index_off"], "Q", 2**64 - k),
              (field_pos["index_len"], "Q", k + fields["index_off"]))

    table, count = fields["table_off"], fields["table_len"] // 96
    longest = max(range(count), key=lambda i: struct.unpack_from("<I", base, table + 96 * i + 64)[0])
    for rec in sorted({0, count // 2, count - 1, longest}):
        at = table + 96 * rec
        offsets_pos, offsets_len = struct.unpack_from("<QI", base, at + 56)
        for name, fmt, pos, values in [
                ("id", "Q", 0, [0, 1, 2**64 - 1, struct.unpack_from("<Q", base, table)[0]]),
                ("offsets_pos", "Q", 56, [0, 8, 64, size - 8, size - 1, size, 2**63, 2**64 - 1, 2**64 - 8]),
                ("offsets_len", "I", 64, [0, 1, 7, 8, 9, size, 2**32 - 1]),
                ("packet_count", "I", 68, [0, 1, 2, 2**32 - 1])]:
            for value in values:
                patch(f"flow record {rec} {name}={value}", (at + pos, fmt, value))
        for pos, length in [(0, size), (64, size - 64), (size - 8, 8), (offsets_pos, size - offsets_pos),
                            (2**64 - 4, 8)]:
            patch(f"flow record {rec} offsets at {pos} length {length}, packet_count max",
                  (at + 56, "Q", pos), (at + 64, "I", min(length, 2**32 - 1)), (at + 68, "I", 2**32 - 1))
        for first in (0, size - 16, size - 15, size, 2**64 - 17, 2**64 - 16, 2**64 - 1):
            patch(f"flow record {rec} first position {first}", (offsets_pos, "Q", first))
        rest = offsets_len - 8
        for label, pattern in [("unterminated", b"\x80"), ("all ones", b"\xff"), ("zero deltas", b"\x00"),
                               ("wrapping deltas", b"\xff" * 9 + b"\x01"), ("non-minimal 16", b"\x90\x00"),
                               ("deltas of 16", b"\x10"), ("deltas of 17", b"\x11")]:
            if rest > 0:
                body = (pattern * rest)[:rest]
                patch(f"flow record {rec} varints {label}", (offsets_pos + 8, f"{rest}s", body))
                patch(f"flow record {rec} varints {label}, packet_count max", (offsets_pos + 8, f"{rest}s", body),
                      (at + 68, "I", 2**32 - 1))
    if count > 1:
        patch("two records share an id", (table + 96, "Q", struct.unpack_from("<Q", base, table)[0]))
        patch("every record has id 1", *[(table + 96 * i, "Q", 1) for i in range(count)])

    index = fields["index_off"]
    for i, name in enumerate(["ip", "port", "proto"]):
        for value in [0, 1, 2**63, 2**64 - 1, 2**64 - 36, 2**64 - 37, fields["index_len"]]:
            patch(f"index header {name}_off={value}", (index + 12 * i, "Q", value))
        for value in [0, 3, 4, 2**32 - 1, fields["index_len"]]:
            patch(f"index header {name}_len={value}", (index + 12 * i + 8, "I", value))
    head = struct.unpack_from("<QIQIQI", base, index)
    for section, (offset, length, k) in enumerate(zip(head[0::2], head[1::2], (16, 2, 1))):
        start = index + 36 + offset
        if length < 8 + k or not struct.unpack_from("<I", base, start)[0]:
            continue
        ids = struct.unpack_from("<I", base, start + 4 + k)[0]
        for value in (0, 1, 2**32 - 1):
            patch(f"index section {section} entry count {value}", (start, "I", value))
        for value in (0, 2**28, 2**29, 2**29 + 1, 2**32 - 1):
            patch(f"index section {section} first group id count {value}", (start + 4 + k, "I", value))
        for value in (0, 2**64 - 1, 1):
            patch(f"index section {section} first group ids all {value}",
                  *[(start + 8 + k + 8 * j, "Q", value) for j in range(ids)])
    return out


DAMAGE_SOURCES = [("synthetic", "host"), ("zeek_ip6_esp.pcap", "session"), ("pcapplusplus_GrePackets.cap", "mac"),
                  ("aircrack-ng_capture_wds-01.cap", "bssid"), ("pcapplusplus_four_ipv6_http_streams.pcap", "flow"),
                  ("zeek_wlanmon.pcap", "host")]


def run_child(job):
    """(stdout, how the child ended or None for a clean exit, stderr)."""
    try:
        done = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(job).encode(), capture_output=True,
                              timeout=60)
        out, err, rc = done.stdout, done.stderr, done.returncode
        how = None if rc == 0 else f"killed by signal {-rc}" if rc < 0 else f"exit status {rc}"
    except subprocess.TimeoutExpired as exc:
        out, err, how = exc.stdout, exc.stderr, "no answer within 60 s"
    return (out or b"").decode(), how, (err or b"").decode()[-2000:]


@pytest.mark.parametrize("source, strategy", DAMAGE_SOURCES, ids=[s for s, _ in DAMAGE_SOURCES])
def test_damaged_archive_is_read_safely(tmp_path, source, strategy):
    capture = tmp_path / "capture.pcap"
    if source == "synthetic":
        capture.write_bytes(synthetic_capture())
    elif tc.CAPTURES.is_dir():
        capture = tc.CAPTURES / source
    else:
        pytest.skip("the shared capture corpus is not beside this checkout")
    flowsieve.create_archive(str(capture), str(tmp_path / "base.fsieve"), strategy)
    base = (tmp_path / "base.fsieve").read_bytes()
    flows = flowsieve.Archive.open(str(tmp_path / "base.fsieve")).flows()
    cases = mutations(base, source)
    paths = [tmp_path / f"{i}.fsieve" for i in range(len(cases))]
    for path, (_, data) in zip(paths, cases):
        path.write_bytes(data)
    job = {"addrs": sorted({a for f in flows for a in (f.src_addr, f.dst_addr)}),
           "ports": sorted({p for f in flows for p in (f.src_port, f.dst_port)}),
           "open_errors": sorted(OPEN_ERRORS), "offsets_error": OFFSETS_ERROR}
    crashers = os.environ.get("FLOWSIEVE_CRASHERS") or str(tmp_path / "crashers")
    failures, start = [], 0
    while start < len(cases):  # a child that dies is blamed for the archive it began last; the next one goes on after it
        job["paths"] = [str(p) for p in paths[start:]]
        out, how, err = run_child(job)
        done, begun = start, None
        for line in out.splitlines():
            if line.startswith("BEGIN "):
                begun = start + int(line.split()[1])
            else:
                i, problems = json.loads(line)
                failures += [f"{cases[start + i][0]}: {p}" for p in problems]
                done = start + i + 1
        if how is None:
            assert done == len(cases), err
            break
        assert begun == done, f"the child failed before reading an archive ({how}): {err}"
        os.makedirs(crashers, exist_ok=True)
        saved = os.path.join(crashers, re.sub(r"[^\w.=+-]+", "_", f"{source}-{cases[done][0]}") + ".fsieve")
        shutil.copyfile(paths[done], saved)
        failures.append(f"{cases[done][0]}: {how} (saved as {saved}) {err}")
        start = done + 1
    assert not failures, "\n".join(failures)
