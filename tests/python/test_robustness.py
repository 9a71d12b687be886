"""flowsieve under damage and pressure: cut and corrupted captures, hostile archives, exhausted resources, threads.

Every heavy case runs in a child interpreter, so that a crash, a hang or a blown memory budget fails the case that
caused it instead of taking the test run down.
"""
import array
import hashlib
import json
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import flowsieve
from capwriter import T0, arp, eth, packet, pcap, records
from test_archive import FOOTER, HEADER, RECORD, ModelFlow, addr16, encode, offsets, section
from test_captures import CAPTURES, NAMES, PCAP_MAGICS, read_capture

U64 = 2**64
UNKNOWN = "Unsupported file format (unknown magic number)"
CAPTURE_ERRORS = tuple("RuntimeError: " + e for e in ("Invalid PCAP format: ", "Invalid PCAP-NG format: ", UNKNOWN))

# Every child gets its job as JSON on stdin, prints "BEGIN label" when it starts a case and one JSON line per result.
PRELUDE = r"""
import collections, hashlib, json, os, resource, shutil, signal, struct, sys, threading, time
from pathlib import Path
import flowsieve
job = json.loads(sys.stdin.read())
begin = lambda label: print("BEGIN", label, flush=True)
report = lambda value: print(json.dumps(value), flush=True)
sha = lambda path: hashlib.sha1(Path(path).read_bytes()).hexdigest()
hashed = {}  # files are read again only when their inode, size or times changed

def finals(d):  # the files under final (not hidden) names: name -> sha1
    out = {}
    for e in os.scandir(d) if os.path.isdir(d) else []:
        st = e.stat()
        key = st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns
        if not e.name.startswith("."):
            out[e.name] = hashed[key] if key in hashed else hashed.setdefault(key, sha(e.path))
    return out

def outcome(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception as exc:
        return type(exc).__name__ + ": " + str(exc)
"""


def run_child(code, job, timeout=90, ok_codes=(0,)):
    """(results, trouble): trouble says how and in which case the child ended badly, or is None."""
    try:
        done = subprocess.run([sys.executable, "-c", PRELUDE + code], input=json.dumps(job).encode(),
                              cwd=Path(__file__).parent, capture_output=True, timeout=timeout)
        out, err, rc = done.stdout, done.stderr, done.returncode
        how = None if rc in ok_codes else f"killed by signal {-rc}" if rc < 0 else f"exit status {rc}"
    except subprocess.TimeoutExpired as exc:
        out, err, how = exc.stdout, exc.stderr, f"no answer within {timeout} s"
    results, begun = [], None
    for line in (out or b"").decode().splitlines():
        if not line.startswith("BEGIN "):
            results.append(json.loads(line))
        begun = line[6:] if line.startswith("BEGIN ") else None
    return results, how and f"{how} in case {begun!r}: {(err or b'').decode()[-3000:]}"


def sha(data):
    return hashlib.sha1(data).hexdigest()


def snapshot(path):
    """name -> sha1 of the files in a directory, or the sha1 of a file (None when absent)."""
    path = Path(path)
    if path.is_dir():
        return {p.name: sha(p.read_bytes()) for p in path.iterdir()}
    return sha(path.read_bytes()) if path.exists() else None


@pytest.fixture
def roomy(tmp_path):
    """A folder for very many small files: in memory when /dev/shm has room, as disks of shared machines are slow."""
    st = os.statvfs("/dev/shm") if os.access("/dev/shm", os.W_OK) else None
    if not st or st.f_bavail * st.f_frsize < 2 << 30:
        yield tmp_path
        return
    path = Path(tempfile.mkdtemp(dir="/dev/shm", prefix="flowsieve-test-"))
    yield path
    shutil.rmtree(path, ignore_errors=True)


# ---- damaged real captures ----

# Each capture's variants run in order through split (pcap, l7) and create_archive, into a fresh output and into
# one output that the capture's earlier variants used: a failure must leave the latter as it was.
DAMAGE = r"""
kept = {}
for case in job:
    begin(case["label"])
    src, work, problems, outcomes = case["input"], Path(case["work"]), [], []
    for kind, strategy in (("pcap", "session"), ("l7", "flow")):
        fresh, used = work / ("fresh-" + kind), work / ("used-" + kind)
        outcomes += [outcome(flowsieve.split, src, str(d), strategy, output_type=kind) for d in (fresh, used)]
        names = os.listdir(fresh) if fresh.exists() else []
        if any(n.startswith(".") != (outcomes[-2] is not None) or n.startswith(".") and not n.endswith(".tmp")
               for n in names):
            problems.append(f"{kind}: {names[:4]} after {outcomes[-2]}")
        if outcomes[-2] and ("magic number" in outcomes[-2] or "global header" in outcomes[-2]) and fresh.exists():
            problems.append(f"{kind}: an unrecognised capture created the output directory")
        want = {**kept.get(str(used), {}), **(finals(fresh) if outcomes[-1] is None else {})}
        got = kept[str(used)] = finals(used)
        if got != want:
            problems.append(f"{kind}: the reused folder differs in {sorted(set(got.items()) ^ set(want.items()))[:4]}")
        shutil.rmtree(fresh, ignore_errors=True)
    fresh, used = work / "fresh.fsieve", work / "used.fsieve"
    outcomes += [outcome(flowsieve.create_archive, src, str(p), "host") for p in (fresh, used)]
    if fresh.exists() != (outcomes[-2] is None) or outcomes[-2] is None and Path(f"{fresh}.tmp").exists():
        problems.append("archive: a final path after a failure, or none or a leftover after a success")
    want = (sha(fresh) if fresh.exists() else None) if outcomes[-1] is None else kept.get(str(used))
    if (sha(used) if used.exists() else None) != want:
        problems.append("archive: the reused archive path changed")
    kept[str(used)] = sha(used) if used.exists() else None
    for p in (fresh, Path(f"{fresh}.tmp")):
        p.unlink(missing_ok=True)
    report({"label": case["label"], "outcomes": outcomes, "problems": problems})
"""


def expected_error(data):
    """The error text reading `data` ends with ("" for none); None for pcapng, left to the other checks."""
    if data[:4] == b"\n\r\r\n":
        return None
    if data[:4] not in PCAP_MAGICS:
        return UNKNOWN
    return "Invalid PCAP format: file too small for global header" if len(data) < 24 else read_capture(data)[2] or ""


def damaged(name, data, scratch):
    """(label, bytes): the capture, cuts at many lengths, random byte changes, and editcap's changes when present."""
    size, big = len(data), len(data) > 100_000  # fewer runs over the three large captures
    cuts = sorted({0, 1, 3, 4, 23, 24, 25, 39, 40, 41, 60} | {size * k // 13 for k in range(1, 13, 3 if big else 1)})
    out = [("as is", data)] + [(f"cut at {n}", data[:n]) for n in cuts if n < size]
    for seed in range(3 if big else 6):
        rng, changed = random.Random(f"{name} {seed}"), bytearray(data)
        span = min(size, 64) if seed < 2 else size  # the first two hit the file header and the first record header
        for _ in range(rng.randint(1, 24) if size else 0):
            changed[rng.randrange(span)] = rng.randrange(256)
        out.append((f"seed {seed}", bytes(changed)))
    for seed in (1,) if big else (1, 2):  # editcap writes pcapng with 2% of the frame bytes changed
        target = scratch / f"editcap-{seed}"
        if shutil.which("editcap") and subprocess.run(["editcap", "-E", "0.02", "--seed", str(seed), str(
                CAPTURES / name), str(target)], capture_output=True, timeout=60).returncode == 0:
            out.append((f"editcap seed {seed}", target.read_bytes()))
    return out


@pytest.mark.skipif(not CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
@pytest.mark.parametrize("batch", range(3))
def test_damaged_captures_fail_cleanly(roomy, batch):
    job, expect = [], {}
    for i, name in enumerate(sorted(NAMES, key=lambda n: (CAPTURES / n).stat().st_size)[batch::3]):
        (roomy / f"work{i}").mkdir()
        for j, (label, data) in enumerate(damaged(name, (CAPTURES / name).read_bytes(), roomy / f"work{i}")):
            source = roomy / f"in{i}-{j}" / name  # the same stem, so that the outputs meet the earlier runs' names
            source.parent.mkdir()
            source.write_bytes(data)
            job.append({"label": f"{name}: {label}", "input": str(source), "work": str(roomy / f"work{i}")})
            expect[job[-1]["label"]] = expected_error(data)
    results, trouble = run_child(DAMAGE, job, timeout=100)
    failures = [trouble] if trouble else []
    for r in results:
        first, want = r["outcomes"][0], expect[r["label"]]
        if set(r["outcomes"]) != {first}:
            failures.append(f"{r['label']}: split and create_archive disagree: {r['outcomes']}")
        elif want is not None and first != ("RuntimeError: " + want if want else None):
            failures.append(f"{r['label']}: ended with {first!r}, expected {want!r}")
        elif first is not None and not first.startswith(CAPTURE_ERRORS):
            failures.append(f"{r['label']}: unexpected failure {first!r}")
        failures += [f"{r['label']}: {p}" for p in r["problems"]]
    assert not failures and len(results) == len(job), "\n".join(failures)


# ---- hostile archives ----

# One child per archive, so that the peak memory is the archive's own (ru_maxrss would carry the parent's peak over
# exec, VmHWM does not). It opens the archive, runs every kind of query, reads the packets and their data of every
# `stride`-th flow and pipes the archive, keeping nothing longer than needed.
HOSTILE = r"""
import ipaddress
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
path, stride = job
data, verified, result, problems = Path(path).read_bytes(), set(), {}, []
memory = lambda field: int(next(l for l in open("/proc/self/status") if l.startswith(field)).split()[1]) << 10

def in_file(rec):
    key = hashlib.sha1(rec).digest()
    if key not in verified and data.find(rec) >= 0:
        verified.add(key)
    return key in verified

before = memory("VmRSS")
try:
    archive = flowsieve.Archive.open(path)
except OSError as exc:
    result["error"] = str(exc)
else:
    flows = archive.flows()
    result["flows"], first, result["q"], counts = len(flows), {}, {}, {}
    if not len(flows) == len(archive) == archive.flow_count:
        problems.append("flow counts differ")
    for f in flows:
        first.setdefault(f.id, repr(f))
    problems += [f"get_flow({i}) is not the first record with that id" for i in [*list(first)[:100], 0, 2**64 - 1]
                 if repr(archive.get_flow(i)) != first.get(i, "None")]
    addrs = {"10.0.0.1", "10.0.0.2", "2001:db8::1", "::"} | {a for f in flows[:1000] for a in (f.src_addr, f.dst_addr)}
    ports = {0, 53, 80} | {p for f in flows[:1000] for p in (f.src_port, f.dst_port)}
    ip = ipaddress.ip_address
    for label, query, arg, matches in [
            ("ip " + a, archive.find_by_ip, a, lambda f, a=a: ip(a) in (ip(f.src_addr), ip(f.dst_addr)))
            for a in sorted(addrs)] + [
            (f"port {p}", archive.find_by_port, p, lambda f, p=p: p in (f.src_port, f.dst_port))
            for p in sorted(ports)] + [
            ("proto " + p, archive.find_by_protocol, p, lambda f, n=n: f.proto == n)
            for p, n in (("tcp", 6), ("udp", 17), ("icmp", 1), ("icmpv6", 58))]:
        found = query(arg)
        ids = [f.id for f in found]
        if len(set(ids)) != len(ids) or any(repr(f) != first.get(f.id) or not matches(f) for f in found):
            problems.append(f"{label} lists a flow twice, one that is not the first record with its id or one "
                            "that does not match")
        result["q"][label] = ids[:10]
        del found
    for i in range(0, len(flows), stride):
        try:
            packets = flows[i].packets()
        except RuntimeError as exc:
            counts[i] = str(exc)
            continue
        counts[i] = len(packets)
        problems += [f"flow {i}: {p!r} is not a record of the file" for p in packets if len(p.data) != p.length or
                     not in_file(struct.pack("<4I", p.ts_sec, p.ts_usec, p.length, p.orig_len) + p.data)]
        del packets
    result["counts"] = counts
    header = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, archive.link_type)
    # A flow with a record longer than 65535 bytes states that length instead.
    same_header = lambda blob: blob[:16] + blob[20:24] == header[:16] + header[20:24]
    del flows, archive
    try:
        piped = flowsieve.pipe_archive(path)
    except RuntimeError as exc:
        result["piped"] = str(exc)
    else:
        result["piped"] = len(piped)
        if sum(len(b) - 24 for b in piped) > len(data):
            problems.append("pipe_archive gives more record bytes than the file holds")
        for blob in piped:
            pos = 24 if same_header(blob) else len(blob) + 1
            while pos + 16 <= len(blob) and in_file(blob[pos:pos + 16 + struct.unpack_from("<I", blob, pos + 8)[0]]):
                pos += 16 + struct.unpack_from("<I", blob, pos + 8)[0]
            if pos != len(blob):
                problems.append("pipe_archive gives bytes that are not records of the file")
                break
        del piped
if memory("VmHWM") - before > 2 * len(data) + (64 << 20):
    problems.append(f"peak memory grew by {(memory('VmHWM') - before) >> 20} MiB for a {len(data) >> 20} MiB file")
report({**result, "problems": problems})
"""

FIELDS = ["data_off", "data_len", "offsets_off", "offsets_len", "table_off", "table_len", "flow_count", "index_off",
          "index_len"]
FRAMES = [packet("10.0.0.1", "10.0.0.2", "udp", 1000, 53, b"a" * 30), arp(),
          packet("2001:db8::1", "2001:db8::2", "tcp", 80, 8080, b"b" * 40),
          packet("10.0.0.2", "10.0.0.1", "udp", 53, 1000, b"c" * 50)]
DATA = b"".join(struct.pack("<4I", T0, i, len(f), len(f)) + f for i, f in enumerate(FRAMES))
POS = [64 + sum(16 + len(f) for f in FRAMES[:i]) for i in range(len(FRAMES))]
V4A, V4B, V6 = bytes([10, 0, 0, 1]), bytes([10, 0, 0, 2]), bytes.fromhex("20010db8" + "0" * 23 + "1")
TUPLES = [(V4A, V4B, 1000, 53, 17), (V6, V6[:15] + b"\2", 80, 8080, 6), None]
A1, A2, A6 = addr16(V4A), addr16(V4B), V6
BIG = struct.pack("<4I", T0, 0, 4 << 20, 4 << 20) + eth(bytes((4 << 20) - 14), 0x88B5)  # one 4 MiB record at 64


def flows(n=3, ids=None, **fields):
    """The three flows (UDP twice, IPv6 TCP, ARP) or n copies of the first; `fields` set ModelFlow fields of each."""
    base = [(TUPLES[0], [POS[0], POS[3]]), (TUPLES[1], [POS[2]]), (TUPLES[2], [POS[1]])]
    return [ModelFlow(**{"id": (ids or range(1, n + 1))[i], "ip": ip, "positions": pos, "start": 0, **fields})
            for i, (ip, pos) in enumerate(base if n == 3 else base[:1] * n)]


def archive(model=None, data=DATA, replace=None, **footer):
    """A valid archive of `model` with one index section replaced, (number, bytes), and footer fields set by name
    (a callable value is given the file size)."""
    model = model or flows()
    rows = [(f.id, *f.fields) for f in model]
    parts = [section([(r[k], r[0]) for r in rows for k in (2, 3)], bytes),
             section([(r[k], r[0]) for r in rows for k in (4, 5)], lambda p: struct.pack("<H", p)),
             section([(r[1], r[0]) for r in rows], lambda p: bytes([p]))]
    if replace:
        parts[replace[0]] = replace[1]
    content = bytearray(encode(1, data, model, parts))
    for name, value in footer.items():
        struct.pack_into("<Q", content, len(content) - 112 + 8 * FIELDS.index(name),
                         value(len(content)) if callable(value) else value)
    return bytes(content)


def field(content, name):
    return struct.unpack_from("<Q", content, len(content) - 112 + 8 * FIELDS.index(name))[0]


def patched(where, fmt, values, **kw):
    """archive(**kw) with values(archive) packed at each position of where(archive)."""
    def make():
        content = bytearray(archive(**kw))
        for at in where(content):
            struct.pack_into("<" + fmt, content, at, *values(content))
        return bytes(content)
    return make


def list_at(where, every=False, **kw):
    """The first (or every) flow's offset list at where(archive) = (position, length), with the largest count."""
    start = lambda a: field(a, "table_off") + 56  # offsets_pos, offsets_len, packet_count of a record
    table = lambda a: range(start(a), start(a) + (field(a, "table_len") if every else 1), 96)
    return patched(table, "QII", lambda a: (*where(a), 2**32 - 1), **kw)


def first_record_at(position):
    """The first flow's list starts at position(file size), then goes on to its second record."""
    build = lambda p: archive([ModelFlow(1, TUPLES[0], [POS[0], POS[3]], 0, olist=offsets([p, POS[3]]))] + flows()[1:])
    return lambda: build(position(len(build(10**6))))  # a negative delta either way: the same list length


def groups(count, *entries):
    """A raw index section: the entry count, then (key bytes, ids) groups."""
    return struct.pack("<I", count) + b"".join(k + struct.pack(f"<I{len(i)}Q", len(i), *i) for k, i in entries)


def one_list(olist, data=DATA, ip=None):
    return lambda: archive([ModelFlow(1, ip, [64], 0, count=2**32 - 1, olist=struct.pack("<Q", 64) + olist)], data=data)


STD, PLAIN = {"flows": 3, "counts": [2, 1, 1]}, archive()
IP_LEN = struct.unpack_from("<I", PLAIN, field(PLAIN, "index_off") + 8)[0]
LONE = (struct.pack(HEADER, b"FSIEVE02", 2, 1)
        + struct.pack(RECORD, 1, 17, 0, A1, A2, 1, 2, 160 + 48, 8, 5, 0, 0, 0)  # the list is the footer's table_off, 64
        + struct.pack(FOOTER, b"FSVEFOOT", 2, 0, 64, 0, 0, 0, 64, 96, 1, 0, 0))
TOO_FAR = {"error": "Flow table extends beyond file"}
CASES = [  # label, archive maker, read the packets of every stride-th flow, expected (what is left out is not checked)
    ("table is the whole file", lambda: archive(table_off=0, table_len=lambda s: s), 1, {"flows": len(PLAIN) // 96}),
    ("table is the footer", lambda: archive(table_off=lambda s: s - 128, table_len=128), 1, {"flows": 1}),
    ("table runs over the index to the end", lambda: archive(table_off=lambda s: s - 192, table_len=192), 1,
     {"flows": 2}),
    ("table is the header", lambda: archive(table_off=0, table_len=96), 1, {"flows": 1}),
    ("empty table at the very end", lambda: archive(table_off=lambda s: s, table_len=0), 1, {"flows": 0}),
    ("empty table one past the end", lambda: archive(table_off=lambda s: s + 1, table_len=0), 1, TOO_FAR),
    ("table length wraps around", lambda: archive(table_off=1, table_len=U64 - 1), 1, TOO_FAR),
    ("the header, one record and the footer", lambda: LONE, 1, {"flows": 1, "counts": [1], "q": {"ip 10.0.0.1": [1]}}),
    ("index is the footer", lambda: archive(index_off=lambda s: s - 128, index_len=128), 1,
     {**STD, "q": {"ip 10.0.0.1": [], "port 53": [], "proto udp": []}}),
    ("index is the flow table", lambda: archive(index_off=field(PLAIN, "table_off"), index_len=288), 1, STD),
    ("index is the whole file from byte 1", lambda: archive(index_off=1, index_len=lambda s: s - 1), 1, STD),
    ("three index sections are one", patched(lambda a: [field(a, "index_off")], "QIQIQI",
                                             lambda a: (0, IP_LEN) * 3), 1,
     {**STD, "q": {"ip 10.0.0.1": [1], "ip 2001:db8::1": [2]}}),
    ("the third address group runs past the section",
     lambda: archive(replace=(0, groups(3, (A1, [1]), (A2, [1]), (A6, [2] * 10))[:-8])), 1,
     {**STD, "q": {"ip 10.0.0.1": [1], "ip 10.0.0.2": [1], "ip 2001:db8::1": []}}),
    ("entry count stops before the second group", lambda: archive(replace=(0, groups(1, (A1, [1]), (A2, [1])))), 1,
     {**STD, "q": {"ip 10.0.0.1": [1], "ip 10.0.0.2": []}}),
    ("entry count 2**32-1 over 250,000 empty groups", lambda: archive(replace=(0, groups(
        2**32 - 1, *[(addr16(struct.pack(">I", 0x0B000000 + i)), []) for i in range(250_000)], (A1, [1])))), 1,
     {**STD, "q": {"ip 10.0.0.1": [1], "ip 10.0.0.2": []}}),
    ("500,000 copies of one id", lambda: archive(replace=(2, groups(1, (b"\x11", [1] * 500_000)))), 1,
     {**STD, "q": {"proto udp": [1]}}),
    ("500,000 ids, descending", lambda: archive(replace=(2, groups(1, (b"\x11", range(500_000, 0, -1))))), 1,
     {**STD, "q": {"proto udp": [1]}}),
    ("index lists flows under keys they do not have", lambda: archive(replace=(1, groups(
        2, (struct.pack("<H", 53), [1, 2, 3]), (struct.pack("<H", 80), [3, 1])))), 1,
     {**STD, "q": {"port 53": [1], "port 80": []}}),
    ("index ids near 2**64", lambda: archive(replace=(2, groups(1, (b"\x11", [U64 - 1, 2**63, 1, U64 - 2])))), 1,
     {**STD, "q": {"proto udp": [1]}}),
    ("flow ids near 2**64", lambda: archive(flows(ids=[U64 - 1, U64 - 2, 1])), 1,
     {**STD, "q": {"ip 10.0.0.1": [U64 - 1], "proto tcp": [U64 - 2], "port 0": [1]}}),
    ("50,000 records with id 1", lambda: archive(flows(50_000, ids=[1] * 50_000)), 1,
     {"error": "Invalid flow table: duplicate flow id 1"}),
    ("two of three records share an id, out of order", lambda: archive(flows(ids=[U64 - 1, 5, U64 - 1])), 1,
     {"error": f"Invalid flow table: duplicate flow id {U64 - 1}"}),
    ("50,000 flows read the packet data as offset lists", list_at(lambda a: (64, len(DATA)), True, model=flows(50_000)),
     1, {"flows": 50_000}),
    ("offset list is the flow table", list_at(lambda a: (field(a, "table_off"), 288)), 1, {"flows": 3}),
    ("offset list is the footer", list_at(lambda a: (len(a) - 128, 128)), 1, {"flows": 3}),
    ("offset list is the whole file", list_at(lambda a: (0, len(a))), 1, {"flows": 3}),
    ("offset list inside its own flow record", list_at(lambda a: (field(a, "table_off") + 56, 40)), 1, {"flows": 3}),
    ("first record is the file header", first_record_at(lambda size: 0), 1, STD),
    ("a record ends at the end of the file", first_record_at(lambda size: size - 16), 1,
     {"flows": 3, "counts": [1, 1, 1]}),  # the next record starts before its end
    ("a varint of 1 MB that never ends", one_list(b"\x80" * 10**6), 1, {"flows": 1, "counts": [1]}),
    ("1M deltas of 0 into a 4 MiB record", one_list(bytes(10**6), BIG), 1, {"flows": 1, "counts": [1], "piped": 1}),
    ("24 MiB of deltas of 0", one_list(bytes(24 << 20)), 1, {"flows": 1, "counts": [1], "piped": 1}),
    ("100,000 deltas of 2**64-1 from a 4 MiB record", one_list((b"\xff" * 9 + b"\x01") * 100_000, BIG), 1,
     {"flows": 1, "counts": [1], "piped": 1}),
    ("50,000 flows list one 4 MiB record", lambda: archive(flows(50_000, positions=[64], count=2**32 - 1), data=BIG),
     1000, {"flows": 50_000, "counts": [1] * 50_000, "piped": 50_000}),
]


@pytest.mark.parametrize("make, stride, want", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile_archive(tmp_path, make, stride, want):
    (tmp_path / "x.fsieve").write_bytes(make())
    results, trouble = run_child(HOSTILE, [str(tmp_path / "x.fsieve"), stride], timeout=60)
    assert not trouble, trouble
    got, counts = results[0], want.get("counts", [])
    assert got["problems"] == [] and got.get("error") == want.get("error")
    assert "counts" not in want or {int(k): v for k, v in got["counts"].items()} == {
        i: counts[i] for i in range(0, len(counts), stride)}
    assert {k: got["q"][k] for k in want.get("q", {})} == want.get("q", {})
    assert [got[k] for k in ("flows", "piped") if k in want] == [want[k] for k in ("flows", "piped") if k in want]


# The flow table and the index are one area of the file: an index whose port group lists 6M ids in descending order,
# read as a table of 500,000 records whose ids (every twelfth of those) run backwards too.
OPEN_AND_QUERY = r"""
import subprocess
memory = lambda field: int(next(l for l in open("/proc/self/status") if l.startswith(field)).split()[1]) << 10
path, n, exe = job
before = memory("VmRSS")
archive = flowsieve.Archive.open(path)
ports = [len(archive.find_by_port(p)) for p in (1, 2)]
grew = memory("VmHWM") - before
listed = subprocess.run([exe, "flows", path, "--port", "1", "-f", "json"], capture_output=True).stdout  # a line a flow
cli_peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss << 10
report([archive.flow_count, archive.get_flow(n - 5).id, ports, grew, listed.count(b"\n"), cli_peak])
"""


def test_table_and_index_over_one_area_cost_at_most_twice_the_file(tmp_path):
    n = 6_000_000
    ids = array.array("Q", range(n, 0, -1))
    if sys.byteorder == "big":
        ids.byteswap()
    sections = [struct.pack("<I6x", 0), struct.pack("<IHI", 1, 1, n) + ids.tobytes(), struct.pack("<I", 0)]
    lengths = [len(s) for s in sections]
    index = struct.pack("<QIQIQI", 0, lengths[0], lengths[0], lengths[1], lengths[0] + lengths[1], lengths[2]) + b"".join(
        sections)  # the ids start 56 bytes in: the table's i-th id is the index's (12i - 7)-th
    table_len = len(index) // 96 * 96
    content = (struct.pack(HEADER, b"FSIEVE02", 2, 1) + index
               + struct.pack(FOOTER, b"FSVEFOOT", 2, 0, 64, 0, 0, 0, 64, table_len, 0, 64, len(index)))
    (tmp_path / "x.fsieve").write_bytes(content)
    exe = shutil.which("flowsieve") or str(Path(sys.executable).with_name("flowsieve"))
    results, trouble = run_child(OPEN_AND_QUERY, [str(tmp_path / "x.fsieve"), n, exe], timeout=60)
    assert not trouble, trouble
    (count, found, ports, grew, listed, cli_peak), = results
    fields = array.array("H", content[64:64 + table_len])  # the index lists the records after the first under port 1
    with_port_1 = sum(1 in pair for pair in zip(fields[24 + 48::48], fields[25 + 48::48]))
    assert grew <= 2 * len(content) + (64 << 20) and cli_peak <= 2 * len(content) + (64 << 20)
    assert (count, found, ports, listed) == (table_len // 96, n - 5, [with_port_1, 0], with_port_1)
    assert with_port_1 > 1000


# ---- neighbours ----

def test_two_runs_writing_the_same_names(tmp_path):
    """Two splits of different captures with one stem into one folder, and two builds to one path, started together
    round after round: every final file is one run's, a run that succeeds has all its files in place, and a run that
    cannot have the names to itself says so."""
    exe = shutil.which("flowsieve") or str(Path(sys.executable).with_name("flowsieve"))
    want = {}
    for run, ports in (("a", range(1000, 1300)), ("b", range(1150, 1450))):
        (tmp_path / run).mkdir()
        frames = [packet("10.0.0.1", "10.0.0.2", "udp", p, 53, run.encode() * 40) for p in ports] * 4
        (tmp_path / run / "cap.pcap").write_bytes(pcap(records(frames)))
        flowsieve.split(str(tmp_path / run / "cap.pcap"), str(tmp_path / run / "out"))
        flowsieve.create_archive(str(tmp_path / run / "cap.pcap"), str(tmp_path / run / "a.fsieve"))
        want[run] = snapshot(tmp_path / run / "out"), snapshot(tmp_path / run / "a.fsieve")
    out, arch = tmp_path / "out", tmp_path / "a.fsieve"
    busy = [f"flowsieve: {out}: Another run is writing the files of cap\n",
            f"flowsieve: {arch}.tmp: Failed to create temp archive file (another run is writing it)\n"]
    overlaps = 0
    for _ in range(25):
        shutil.rmtree(out, ignore_errors=True)
        runs = [subprocess.Popen([exe, command, tmp_path / run / "cap.pcap", dest], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE) for command, dest in (("split", out), ("archive", arch))
                for run in "ab"]
        done = [(p.wait(60) == 0, p.stderr.read().decode()) for p in runs]
        for kind, (a, b), got in ((0, done[:2], snapshot(out)), (1, done[2:], snapshot(arch))):
            assert a[0] or b[0], (a, b)
            assert all(message == busy[kind] for ok, message in (a, b) if not ok), (a, b)
            if a[0] and b[0]:
                merged = [{**want[x][0], **want[y][0]} for x, y in ("ab", "ba")] if kind == 0 else [want["a"][1],
                                                                                                  want["b"][1]]
                assert got in merged
            else:
                overlaps += 1
                assert got == want["a" if a[0] else "b"][kind]
        assert not [n for n in os.listdir(tmp_path) + os.listdir(out) if n.startswith(".")]
    assert overlaps  # the runs met at least once


# ---- exhausted resources ----

NOFILE = r"""
src, out, limit = job
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (limit or hard, hard))
flowsieve.split(src, out)
listing = sorted((n, sha(Path(out) / n)) for n in os.listdir(out))
report([len(listing), hashlib.sha1(json.dumps(listing).encode()).hexdigest()])
shutil.rmtree(out)
"""


def test_descriptor_limit_does_not_change_the_output(roomy):
    recs = records([packet("10.0.0.1", "10.0.0.2", "udp", 1024 + i % 50_000, 1 + i // 50_000) for i in range(100_000)])
    (roomy / "cap.pcap").write_bytes(pcap(recs))
    want = sorted((f"cap_17_10_0_0_1_10_0_0_2_{1024 + i % 50_000}_{1 + i // 50_000}.pcap", sha(pcap([r])))
                  for i, r in enumerate(recs))
    answers = []
    for limit in (None, 256):  # 256 descriptors under the default of 10,000 open files
        results, trouble = run_child(NOFILE, [str(roomy / "cap.pcap"), str(roomy / f"out{limit}"), limit], 120)
        assert not trouble, trouble
        answers += results
    assert answers == [[len(want), hashlib.sha1(json.dumps(want).encode()).hexdigest()]] * 2


# Runs [label, call, arguments, file size limit or 0] cases in the job's folder, as user 65534 when asked.
CALLS = r"""
os.chdir(job["cwd"])
if job.get("nobody") and os.geteuid() == 0:
    try:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    except OSError:
        sys.exit(3)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
for label, call, args, limit in job["cases"]:
    begin(label)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit or hard, hard))
    report(outcome(flowsieve.Archive.open if call == "open" else getattr(flowsieve, call), *args))
    resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
"""


def test_file_size_limit_fails_the_writes(tmp_path):
    recs = records([packet("10.0.0.1", "10.0.0.2", "udp", 7, 9, bytes(1400))] * 600
                   + [packet("10.0.0.3", f"10.0.1.{i}", "udp", 7, 9, b"x" * i) for i in range(20)])
    (tmp_path / "cap.pcap").write_bytes(pcap(recs))
    for kind in ("pcap", "l7"):
        flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / "out"), "hostpair", output_type=kind)
    flowsieve.create_archive(str(tmp_path / "cap.pcap"), str(tmp_path / "a.fsieve"))
    before, archived = snapshot(tmp_path / "out"), snapshot(tmp_path / "a.fsieve")
    biggest = max(p.stat().st_size for p in (tmp_path / "out").iterdir())
    split, build = ("split", ["cap.pcap", "out", "hostpair"]), ("create_archive", ["cap.pcap", "a.fsieve"])
    cases = [("split mid-way", *split, 64 << 10), ("split near the end", *split, biggest - 1),
             ("split l7", split[0], split[1] + [10, 10000, [], [], "l7"], 64 << 10),
             ("split stream", split[0], ["cap.pcap", "out", "session", 10, 10000, [], [], "stream"], 64 << 10),
             ("archive mid-way", *build, 64 << 10),
             ("archive while finishing", *build, (tmp_path / "a.fsieve").stat().st_size - 1)]
    results, trouble = run_child(CALLS, {"cwd": str(tmp_path), "cases": cases})
    assert not trouble, trouble
    assert results == ["RuntimeError: File too large (os error 27)"] * len(cases)
    after = snapshot(tmp_path / "out")
    assert {n: after[n] for n in before} == before and all(n[0] == "." and n.endswith(".tmp") for n in
                                                          set(after) - set(before))
    assert snapshot(tmp_path / "a.fsieve") == archived and (tmp_path / "a.fsieve.tmp").exists()


def test_no_permission():
    base = Path(tempfile.mkdtemp())  # pytest's folders are private to their owner
    try:
        base.chmod(0o755)
        for name, mode in (("cap.pcap", 0o644), ("secret.pcap", 0o600 if os.geteuid() == 0 else 0)):
            (base / name).write_bytes(pcap(records(FRAMES)))
            (base / name).chmod(mode)
        flowsieve.split(str(base / "cap.pcap"), str(base / "locked"), "nosplit")
        flowsieve.create_archive(str(base / "cap.pcap"), str(base / "locked" / "a.fsieve"))
        (base / "locked").chmod(0o555)
        before = snapshot(base / "locked")
        cases = [("split into a folder it may not create", "split", ["cap.pcap", "locked/new"]),
                 ("split into a folder it may not write", "split", ["cap.pcap", "locked", "nosplit"]),
                 ("archive in a folder it may not write", "create_archive", ["cap.pcap", "locked/a.fsieve"]),
                 ("split of an unreadable capture", "split", ["secret.pcap", "o"]),
                 ("archive of an unreadable capture", "create_archive", ["secret.pcap", "o.fsieve"]),
                 ("open of an unreadable archive", "open", ["secret.pcap"])]
        results, trouble = run_child(CALLS, {"cwd": str(base), "nobody": True, "cases": [c + (0,) for c in cases]},
                                     ok_codes=(0, 3))
        if trouble is None and not results:
            pytest.skip("cannot switch to the unprivileged user 65534")
        assert not trouble, trouble
        denied = "Permission denied (os error 13)"
        assert results == [f"PermissionError: {denied}", f"RuntimeError: {denied}",
                           "PermissionError: Failed to create temp archive file: locked/a.fsieve.tmp",
                           f"PermissionError: {denied}", f"PermissionError: {denied}",
                           "PermissionError: Failed to open archive"]
        assert snapshot(base / "locked") == before and not (base / "o").exists() and not (base / "o.fsieve").exists()
    finally:
        (base / "locked").chmod(0o755)
        shutil.rmtree(base)


NO_DEVICE, NO_ADDRESS = "OSError: No such device (os error 19)", "RuntimeError: No such device or address (os error 6)"
FOLDER = "IsADirectoryError: Is a directory (os error 21)"
FIFO_CASES = [  # call, arguments, a FIFO planted in out/ under this name, expected outcome
    ("split", ["cap.pcap", "out", "nosplit"], ".cap_all.pcap.tmp", NO_ADDRESS),
    ("split", ["cap.pcap", "out", "nosplit", 10, 10, [], [], "l7"], ".cap_all.l7.tmp", NO_ADDRESS),
    ("create_archive", ["cap.pcap", "out/a.fsieve"], "a.fsieve.tmp",
     "OSError: Failed to create temp archive file: out/a.fsieve.tmp"),
    ("split", ["fifo", "out"], None, NO_DEVICE), ("create_archive", ["fifo", "out/a.fsieve"], None, NO_DEVICE),
    ("read_flows", ["fifo"], None, NO_DEVICE), ("split", ["out", "o2"], None, FOLDER),
    ("create_archive", ["out", "a.fsieve"], None, FOLDER),
    ("open", ["fifo"], None, "OSError: File too small to be a valid archive"),
    ("pipe_archive", ["fifo"], None, "OSError: File too small to be a valid archive"),
    ("open", ["out"], None, FOLDER),
]


@pytest.mark.parametrize("call, args, planted, want", FIFO_CASES,
                         ids=[f"{c[0]}({', '.join(map(str, c[1]))})" for c in FIFO_CASES])
def test_fifos_and_folders_fail_at_once(tmp_path, call, args, planted, want):
    (tmp_path / "cap.pcap").write_bytes(pcap(records(FRAMES)))
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "cap_all.pcap").write_bytes(b"earlier")
    os.mkfifo(tmp_path / "fifo")  # nobody writes to it: opening it for reading must not wait
    if planted:
        os.mkfifo(tmp_path / "out" / planted)
    results, trouble = run_child(CALLS, {"cwd": str(tmp_path), "cases": [[call, call, args, 0]]}, timeout=10)
    assert not trouble, trouble
    assert results == [want]
    assert sorted(os.listdir(tmp_path / "out")) == sorted(["cap_all.pcap"] + ([planted] if planted else []))
    assert (tmp_path / "out" / "cap_all.pcap").read_bytes() == b"earlier" and not (tmp_path / "a.fsieve").exists()
    assert not planted or stat.S_ISFIFO(os.lstat(tmp_path / "out" / planted).st_mode)


# ---- threads ----

THREADS = r"""
sys.setswitchinterval(1e-5)
shared_path, split_src, build_src, work, seconds = job
work = Path(work)

def view(archive, flows):  # everything a reader sees, as one digest
    return hashlib.sha1(repr([repr(archive), [(repr(f), f.start_ts, f.end_ts) for f in flows],
        [[(p.ts, p.orig_len, p.data) for p in f.packets()] for f in flows], flowsieve.pipe_archive(shared_path),
        [[f.id for f in archive.find_by_ip(a)] for a in ["10.0.0.1", "10.0.1.5", "2001:db8::1", "::"]],
        [[f.id for f in archive.find_by_port(p)] for p in [0, 53, 80, 1000]],
        [[f.id for f in archive.find_by_protocol(p)] for p in ["tcp", "udp", "icmp"]],
        [repr(archive.get_flow(i)) for i in range(len(flows) + 2)]]).encode()).hexdigest()

def split(i):
    flowsieve.split(split_src, str(work / f"s{i}"), "host")
    got = finals(work / f"s{i}")
    shutil.rmtree(work / f"s{i}")
    return got

def build(i):
    flowsieve.create_archive(build_src, str(work / f"a{i}.fsieve"), "flow")
    got = sha(work / f"a{i}.fsieve")
    os.unlink(work / f"a{i}.fsieve")
    return got

shared = flowsieve.Archive.open(shared_path)
shared_flows = shared.flows()
want = {"view": view(shared, shared_flows), "split": split("ref"), "build": build("ref")}
deadline, errors, counts = time.monotonic() + seconds, [], collections.Counter()

def read(i):  # odd readers open the archive anew and drop it before reading its flows
    if i % 2 == 0:
        return view(shared, shared_flows)
    archive = flowsieve.Archive.open(shared_path)
    flows = archive.flows()
    del archive
    return view(shared, flows)

def repeat(kind, work_on):
    try:
        for i in range(10**9):
            if i and time.monotonic() > deadline:
                break
            if work_on(f"{kind}{i}") != want[kind]:
                errors.append(f"{kind} run {i} differs")
            counts[kind] += 1
    except BaseException as exc:
        errors.append(f"{kind}: {exc!r}")

threads = [threading.Thread(target=repeat, args=("view", lambda _, k=k: read(k))) for k in range(8)]
threads += [threading.Thread(target=repeat, args=args) for args in (("split", split), ("build", build))]
for t in threads:
    t.start()
for t in threads:
    t.join()
report({"errors": errors[:10], "counts": counts})
"""


def traffic(seed, n=400):
    rng = random.Random(seed)
    frames = [packet(f"10.0.{rng.randrange(3)}.{rng.randrange(1, 9)}", "10.0.0.1", rng.choice(["tcp", "udp"]),
                     rng.choice([53, 80, 1000, 4242]), 80, bytes(rng.randrange(200))) for _ in range(n)]
    return pcap(records(frames + [arp(), packet("2001:db8::1", "2001:db8::2", "icmp")]))


def test_threads_share_an_archive_while_others_split_and_build(tmp_path):
    for name, seed in (("reads.pcap", 1), ("splits.pcap", 2), ("builds.pcap", 3)):
        (tmp_path / name).write_bytes(traffic(seed))
    flowsieve.create_archive(str(tmp_path / "reads.pcap"), str(tmp_path / "shared.fsieve"))
    results, trouble = run_child(THREADS, [str(tmp_path / "shared.fsieve"), str(tmp_path / "splits.pcap"),
                                           str(tmp_path / "builds.pcap"), str(tmp_path), 2.0], timeout=90)
    assert not trouble, trouble
    assert results[0]["errors"] == [] and results[0]["counts"]["view"] >= 8
    assert results[0]["counts"]["split"] and results[0]["counts"]["build"]
