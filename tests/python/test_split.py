"""flowsieve.split end to end: keys and file names, output contents, filters, limits, failures, arguments."""
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys
import tempfile

import pytest

import flowsieve
from capwriter import MAC_A, MAC_B, MAC_C, arp, block, eth, ipv4, ipv6, packet, pcap, pcapng, records, tcp, udp, written

MIXED = [
    packet("10.0.0.1", "10.0.0.2", "tcp", 1234, 80, b"GET /"),
    packet("10.0.0.2", "10.0.0.1", "tcp", 80, 1234, b"200 OK", MAC_B, MAC_A),
    packet("10.0.0.1", "10.0.0.3", "udp", 5000, 53, b"query", MAC_A, MAC_C),
    arp(),
    packet("10.0.0.1", "10.0.0.2", "tcp", 1234, 80),
]
MIXED_PAYLOAD = [b"GET /", b"200 OK", b"query", b"", b""]
S12, S13, EVERY = "6_10_0_0_1_10_0_0_2_1234_80", "17_10_0_0_1_10_0_0_3_5000_53", [0, 1, 2, 3, 4]
GROUPS = {  # strategy -> sanitized key -> indices into MIXED
    "session": {S12: [0, 1, 4], S13: [2], "no_session": [3]},
    "flow": {S12: [0, 4], "6_10_0_0_2_10_0_0_1_80_1234": [1], S13: [2], "no_flow": [3]},
    "host": {"10_0_0_1": [0, 1, 2, 4], "10_0_0_2": [0, 1, 4], "10_0_0_3": [2], "no_host": [3]},
    "hostpair": {"10_0_0_1_10_0_0_2": [0, 1, 4], "10_0_0_1_10_0_0_3": [2], "no_hostpair": [3]},
    "mac": {MAC_A.hex(): EVERY, MAC_B.hex(): [0, 1, 4], MAC_C.hex(): [2], "ffffffffffff": [3]},
    "bssid": {"no_bssid": EVERY},
    "nosplit": {"all": EVERY},
}


def listing(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


def run(tmp_path, capture, name="cap.pcap", **kwargs):
    """Splits `capture` into tmp_path/out and returns the final files; no temporary file may remain."""
    tmp_path.mkdir(parents=True, exist_ok=True)
    source = tmp_path / name
    source.write_bytes(capture)
    assert flowsieve.split(str(source), str(tmp_path / "out"), **kwargs) is None
    files = listing(tmp_path / "out")
    assert not [n for n in files if n.startswith(".") and n.endswith(".tmp")]
    return files


def expected(strategy, output_type="pcap", stem="cap"):
    recs = records(MIXED)
    if output_type == "pcap":
        return {f"{stem}_{k}.pcap": pcap([recs[i] for i in idx]) for k, idx in GROUPS[strategy].items()}
    l7 = {f"{stem}_{k}.l7": b"".join(MIXED_PAYLOAD[i] for i in idx) for k, idx in GROUPS[strategy].items()}
    return {name: data for name, data in l7.items() if data}


@pytest.mark.parametrize("case", [str.lower, str.upper, str.title])
@pytest.mark.parametrize("output_type", ["pcap", "l7"])
@pytest.mark.parametrize("strategy", list(GROUPS))
def test_strategies_and_output_types(tmp_path, strategy, output_type, case):
    files = run(tmp_path, pcap(MIXED), strategy=case(strategy), output_type=case(output_type))
    assert files == expected(strategy, output_type)


def test_pcap_output_layout(tmp_path):  # little-endian whatever the input; ts_usec and orig_len pass unchanged
    files = run(tmp_path, pcap([(5, 1_500_000, MIXED[0], 1500)], order=">"), strategy="nosplit")
    assert files["cap_all.pcap"] == struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1) + struct.pack(
        "<IIII", 5, 1_500_000, len(MIXED[0]), 1500) + MIXED[0]


@pytest.mark.parametrize("make, nsec", [
    (lambda r: pcap(r, order=">"), None), (lambda r: pcap(r, nano=True), 999),
    (lambda r: pcap(r, order=">", nano=True), 999), (pcapng, None), (lambda r: pcapng(r, order=">"), None),
    (lambda r: pcapng(r, tsresol=9), 0),
], ids=["pcap-be", "pcap-ns", "pcap-be-ns", "pcapng", "pcapng-be", "pcapng-ns"])
def test_input_formats_give_the_same_output(tmp_path, make, nsec):
    """Microsecond inputs give microsecond files; nanosecond inputs keep their nanoseconds (here usec * 1000 + nsec)."""
    want = expected("session")
    if nsec is not None:
        recs = records(MIXED)
        want = {name: written([(s, u * 1000 + nsec, f, o, 1) for s, u, f, o in (recs[i] for i in idx)], nano=True)
                for name, idx in ((f"cap_{k}.pcap", idx) for k, idx in GROUPS["session"].items())}
    assert run(tmp_path, make(records(MIXED)), strategy="session") == want


@pytest.mark.parametrize("link", [101, 12, 0x10000001])
def test_other_link_types_read_raw_ip_and_are_copied(tmp_path, link):
    recs = records([packet("10.0.0.1", "10.0.0.2", "tcp", 1234, 80, raw=True),
                    packet("2001:db8::2", "2001:db8::1", "udp", 80, 999, raw=True)])
    assert run(tmp_path, pcap(recs, link), strategy="Session") == {
        f"cap_{S12}.pcap": pcap(recs[:1], link), "cap_17_2001_db8__1_2001_db8__2_999_80.pcap": pcap(recs[1:], link)}
    assert run(tmp_path / "m", pcap(recs, link), strategy="mac") == {"cap_no_mac.pcap": pcap(recs, link)}


def wifi(kind, flags, radiotap=False):
    """An 802.11 frame with addresses 1, 2, 3 = MAC_A, MAC_B, MAC_C (plus address 4 with both DS bits)."""
    frame = bytes([kind << 2, flags, 0, 0]) + MAC_A + MAC_B + MAC_C + bytes(2) + (MAC_A if flags & 3 == 3 else b"")
    return (bytes([0, 0, 8, 0, 0, 0, 0, 0]) if radiotap else b"") + frame


A, B, C = MAC_A.hex(), MAC_B.hex(), MAC_C.hex()
TCP_443 = packet("10.0.0.2", "10.0.0.1", "tcp", 443, 999)


@pytest.mark.parametrize("strategy, frame, names, link", [
    ("session", TCP_443, ["6_10_0_0_1_10_0_0_2_999_443"], 1),
    ("session", packet("10.0.0.1", "10.0.0.2", "tcp", 999, 443), ["6_10_0_0_1_10_0_0_2_999_443"], 1),
    ("flow", TCP_443, ["6_10_0_0_2_10_0_0_1_443_999"], 1),
    ("session", packet("10.0.0.1", "10.0.0.1", "udp", 5353, 53), ["17_10_0_0_1_10_0_0_1_53_5353"], 1),
    ("session", packet("10.0.0.10", "10.0.0.9", "udp", 1, 2), ["17_10_0_0_9_10_0_0_10_2_1"], 1),
    ("session", packet("10.0.0.1", "10.0.0.2", "icmp"), ["1_10_0_0_1_10_0_0_2_0_0"], 1),
    ("session", packet("2001:db8::2", "2001:db8::1", "tcp", 80, 999), ["6_2001_db8__1_2001_db8__2_999_80"], 1),
    ("session", packet("fe80::1", "2001:db8::1", "icmp"), ["58_2001_db8__1_fe80__1_0_0"], 1),
    ("session", packet("10.0.0.1", "10.0.0.2", "udp", 7, 8, vlan=5), ["17_10_0_0_1_10_0_0_2_7_8"], 1),
    ("session", eth(ipv4("10.0.0.1", "10.0.0.2", 17, udp(7, 8)), 0x88A8), ["no_session"], 1),
    ("hostpair", packet("10.0.0.2", "10.0.0.1", "udp", 1, 2), ["10_0_0_1_10_0_0_2"], 1),
    ("hostpair", packet("::1", "::1", "udp", 1, 2), ["__1___1"], 1),
    ("hostpair", packet("2001:db8::10", "2001:db8::9"), ["2001_db8__9_2001_db8__10"], 1),
    ("host", packet("127.0.0.1", "127.0.0.1"), ["127_0_0_1"], 1),  # once, though it is source and destination
    ("host", packet("::ffff:1.2.3.4", "::102:304"), ["__ffff_1_2_3_4", "__102_304"], 1),
    ("host", packet("2001:db8:0:0:1:0:0:1", "2001:db8:0:1:1:1:1:1"), ["2001_db8__1_0_0_1", "2001_db8_0_1_1_1_1_1"], 1),
    ("host", packet("2001:0:0:1:0:0:0:1", "::"), ["2001_0_0_1__1", "__"], 1),
    ("host", packet("1::", "::ffff:0:102:304"), ["1__", "__ffff_0_102_304"], 1),
    ("host", packet("2001:DB8::ABCD", "64:ff9b::1.2.3.4"), ["2001_db8__abcd", "64_ff9b__102_304"], 1),
    ("mac", packet("10.0.0.1", "10.0.0.2"), [A, B], 1),
    ("mac", packet("10.0.0.1", "10.0.0.2", smac=MAC_C, dmac=MAC_C), [C], 1),
    ("mac", arp(), [A, "ffffffffffff"], 1),
    ("mac", MIXED[0][:13], ["no_mac"], 1),
    ("bssid", MIXED[0], ["no_bssid"], 1),
    ("flow", arp(), ["no_flow"], 1),
    ("host", arp(), ["no_host"], 1),
    ("hostpair", arp(), ["no_hostpair"], 1),
    ("nosplit", arp(), ["all"], 1),
    ("bssid", wifi(0, 0), [C], 105),
    ("bssid", wifi(2, 1), [A], 105),
    ("bssid", wifi(2, 2, radiotap=True), [B], 127),
    ("bssid", wifi(2, 3), ["no_bssid"], 105),
    ("bssid", wifi(1, 0), ["no_bssid"], 105),
    ("mac", wifi(2, 1, radiotap=True), [B, A], 127),
])
def test_keys_and_file_names(tmp_path, strategy, frame, names, link):
    recs = records([frame])
    assert run(tmp_path, pcap(recs, link), strategy=strategy) == {
        f"cap_{n}.pcap": pcap(recs * names.count(n), link) for n in names}


@pytest.mark.parametrize("name, stem", [
    ("cap.pcapng", "cap"), ("trace.tar.gz", "trace.tar"), (".hidden", ".hidden"), ("noext", "noext"),
    (".hidden.pcap", ".hidden"), ("x.", "x"), ('we:ird*"na|me?.v1.pcap', 'we:ird*"na|me?.v1'), ("café.pcap", "café"),
])
def test_stem_is_kept_unsanitized(tmp_path, name, stem):
    assert run(tmp_path, pcap(MIXED), name=name, strategy="nosplit") == {f"{stem}_all.pcap": pcap(MIXED)}


def test_standard_input(tmp_path):
    code = "import flowsieve, sys; flowsieve.split('-', sys.argv[1], 'flow')"
    subprocess.run([sys.executable, "-c", code, str(tmp_path)], input=pcap(MIXED), check=True, timeout=60)
    assert listing(tmp_path) == expected("flow", stem="-")


TSO = ipv4("10.0.0.1", "10.0.0.2", 6, tcp(1, 2, b"tso"))


@pytest.mark.parametrize("frame, payload", [
    (eth(ipv4("10.0.0.1", "10.0.0.2", 6, tcp(1, 2, b"opt", options=bytes(12)), options=bytes(8))), b"opt"),
    (packet("10.0.0.1", "10.0.0.2", "tcp", 1, 2, b"tagged", vlan=7), b"tagged"),
    (packet("10.0.0.1", "10.0.0.2", "tcp", 1, 2) + bytes(6), None),  # Ethernet padding is not payload
    (packet("10.0.0.1", "10.0.0.2", "tcp", 1, 2, b"data") + bytes(2), b"data"),
    (packet("2001:db8::1", "2001:db8::2", "udp", 1, 2, b"v6") + bytes(4), b"v6"),
    (packet("10.0.0.1", "10.0.0.2", "tcp", 1, 2, b"data")[:-1], b"dat"),  # cut by the snap length
    (eth(TSO[:2] + bytes(2) + TSO[4:]) + bytes(3), b"tso" + bytes(3)),  # total length 0: segmentation offload
    (eth(ipv4("10.0.0.1", "10.0.0.2", 47, b"gre!")), b"gre!"),
    (eth(ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2))[:-2]), None),
    (eth(ipv6("::1", "::2", 0, bytes([17, 0]) + bytes(6) + udp(1, 2, b"hbh")), 0x86DD), b"hbh"),
    (eth(ipv6("::1", "::2", 50, b"esp"), 0x86DD), None),
    (packet("10.0.0.1", "10.0.0.2", "icmp", payload=b"ping"), None),
])
def test_l7_payload(tmp_path, frame, payload):
    files = run(tmp_path, pcap([frame, frame]), strategy="nosplit", output_type="l7")
    assert files == ({"cap_all.l7": payload * 2} if payload else {})


FILTERED = records([
    packet("10.0.0.1", "10.0.0.2", "tcp", 1234, 443, b"a"), packet("10.0.0.2", "10.0.0.1", "tcp", 443, 1234, b"b"),
    packet("10.0.0.3", "10.0.0.4", "udp", 53, 5353), packet("10.0.0.1", "10.0.0.3", "icmp"), arp(),
    packet("::ffff:10.0.0.1", "::ffff:10.0.0.9", "tcp", 80, 8080), packet("2001:db8::1", "2001:db8::2", "udp", 443, 9),
])


@pytest.mark.parametrize("ips, ports, kept", [
    (["10.0.0.1"], [], [0, 1, 3]), (["10.0.0.2"], [], [0, 1]), (["10.0.0.9"], [], []),
    (["::ffff:10.0.0.1"], [], [5]), (["0:0:0:0:0:FFFF:0a00:0001"], [], [5]), (["2001:db8:0::1"], [], [6]),
    (["10.0.0.3", "10.0.0.3"], [], [2, 3]), (["10.0.0.4", "2001:db8::2"], [], [2, 6]),
    ([], [443], [0, 1, 6]), ([], [0], [3]), ([], [8080, 53, 53], [2, 5]), ([], [7], []),
    (["10.0.0.1"], [443], [0, 1]), (["10.0.0.1"], [0], [3]), (["10.0.0.3"], [5353], [2]),
])
def test_filters(tmp_path, ips, ports, kept):
    files = run(tmp_path, pcap(FILTERED), strategy="nosplit", ip_filters=ips, port_filters=ports)
    assert files == ({"cap_all.pcap": pcap([FILTERED[i] for i in kept])} if kept else {})


@pytest.mark.parametrize("text", [
    "010.0.0.1", "10.0.0.01", "10.0.0.1/32", " 10.0.0.1", "10.0.0.1 ", "10.0.0", "10.0.0.1.", "10.0.0.256", "",
    "localhost", "::ffff:10.0.0.1/128", "[::ffff:10.0.0.1]", "::ffff:10.0.0.1%eth0", "1:2:3:4:5:6:7",
    "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::1", "::ffff:10.0.0.1:5", "g::1",
])
def test_unparseable_ip_filter_is_refused_before_anything_is_read_or_written(tmp_path, text):
    out = str(tmp_path / "out")
    for call in (lambda ips: flowsieve.split("missing.pcap", out, ip_filters=ips),
                 lambda ips: flowsieve.create_archive("missing.pcap", out, ip_filters=ips),
                 lambda ips: flowsieve.read_flows("missing.pcap", ip_filters=ips)):
        with pytest.raises(ValueError) as err:
            call(["10.0.0.1", text])
        assert type(err.value) is ValueError and str(err.value) == f"invalid IP address syntax: '{text}'"
    assert list(tmp_path.iterdir()) == []


def many_flows():
    rng = random.Random(7)
    picks = [0, 1, 2, 0, 3, 0] + [rng.randrange(6) for _ in range(60)]
    sizes = [0, 1, 9, 3000, 40]
    frames = [packet("10.0.0.1", f"10.0.1.{f}", "udp", 1000 + f, 53, b"" if f == 5 else bytes([f]) * rng.choice(sizes))
              for f in picks]
    return picks, records(frames)


@pytest.mark.parametrize("output_type", ["pcap", "l7", "stream"])
@pytest.mark.parametrize("max_sessions, buffer_bytes", [(0, 10000), (1, 10000), (2, 10000), (2, 0), (1, 1), (3, 17),
                                                        (10000, 0)])
def test_open_limit_and_buffer_size_keep_contents(tmp_path, max_sessions, buffer_bytes, output_type):
    picks, recs = many_flows()
    want = {}
    for f, rec in zip(picks, recs):
        want.setdefault(f"cap_17_10_0_0_1_10_0_1_{f}_{1000 + f}_53.{output_type}", []).append(rec)
    if output_type == "pcap":
        want = {n: pcap(v) for n, v in want.items()}
    else:  # UDP payload starts at byte 42; flow 5 carries none and leaves no file (a UDP stream is its l7)
        want = {n: b"".join(r[2][42:] for r in v) for n, v in want.items() if "_1_5_1005_" not in n}
    assert run(tmp_path, pcap(recs), max_sessions=max_sessions, buffer_bytes=buffer_bytes,
               output_type=output_type) == want


def test_many_flows_under_a_low_descriptor_limit(tmp_path):
    FLOWS = 1500  # also grows the flow table a few times
    recs = records([packet("10.0.0.1", f"10.1.{f // 200}.{f % 200}", "udp", 1, 2, b"x" * f) for f in range(FLOWS)] * 2)
    (tmp_path / "cap.pcap").write_bytes(pcap(recs))
    code = ("import resource, sys, flowsieve\nhard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))\nflowsieve.split(sys.argv[1], sys.argv[2], 'hostpair')")
    subprocess.run([sys.executable, "-c", code, str(tmp_path / "cap.pcap"), str(tmp_path / "out")], check=True,
                   timeout=120)
    assert listing(tmp_path / "out") == {
        f"cap_10_0_0_1_10_1_{f // 200}_{f % 200}.pcap": pcap([recs[f], recs[FLOWS + f]]) for f in range(FLOWS)}


@pytest.mark.parametrize("max_sessions", [10000, 1])
@pytest.mark.parametrize("fmt", ["pcap", "pcapng"])
def test_cut_off_record_fails_after_writing(tmp_path, fmt, max_sessions):
    recs = records(MIXED[:3])
    if fmt == "pcap":
        good = pcap(recs)
        bad = good + struct.pack("<IIII", 1, 2, 100, 100) + bytes(60)
        message = f"Invalid PCAP format: packet incl_len 100 exceeds remaining data at offset {len(good) + 16}"
    else:
        good = pcapng(recs)
        bad = good + block("<", 6, struct.pack("<5I", 0, 0, 0, 100, 100) + bytes(60))
        message = "Invalid PCAP-NG format: EPB packet data exceeds block"
    out = tmp_path / "out"
    out.mkdir()
    (out / f"cap_{S13}.pcap").write_bytes(b"stale")
    (out / "notes.txt").write_bytes(b"mine")
    (tmp_path / "cap.pcap").write_bytes(bad)
    with pytest.raises(RuntimeError) as err:
        flowsieve.split(str(tmp_path / "cap.pcap"), str(out), max_sessions=max_sessions)
    assert str(err.value) == message
    assert listing(out) == {f"cap_{S13}.pcap": b"stale", "notes.txt": b"mine",
                            f".cap_{S12}.pcap.tmp": pcap(recs[:2]), f".cap_{S13}.pcap.tmp": pcap(recs[2:])}
    (tmp_path / "cap.pcap").write_bytes(good)
    assert run(tmp_path, good) == {f"cap_{S12}.pcap": pcap(recs[:2]), f"cap_{S13}.pcap": pcap(recs[2:]),
                                   "notes.txt": b"mine"}


def test_keys_that_sanitize_alike_share_one_file(tmp_path):
    # ::ffff:1.2.3.4 and ::ffff:1:2:3:4 are different hosts with the same file name
    recs = records([packet("::ffff:1.2.3.4", "2001:db8::1", "udp", 1, 2, b"a"),
                    packet("::ffff:1:2:3:4", "2001:db8::1", "udp", 1, 2, b"b")])
    assert run(tmp_path, pcap(recs), strategy="host", max_sessions=1) == {
        "cap___ffff_1_2_3_4.pcap": pcap(recs), "cap_2001_db8__1.pcap": pcap(recs)}


@pytest.mark.parametrize("max_sessions", [1, 10000])
def test_write_failure_of_a_file_closed_early_is_reported(tmp_path, max_sessions):
    big = packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, bytes(1400))
    recs = records([big, packet("10.0.0.1", "10.0.0.3", "udp", 1, 2)] * 4)
    (tmp_path / "cap.pcap").write_bytes(pcap(recs))
    code = ("import resource, signal, sys, flowsieve\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (3000, 3000))\n"
            "try:\n    flowsieve.split(sys.argv[1], sys.argv[2], max_sessions=int(sys.argv[3]))\n"
            "except RuntimeError as e:\n    print(e)")
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path / "cap.pcap"), str(tmp_path / "out"),
                             str(max_sessions)], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "File too large (os error 27)"


def test_planted_symlink_under_a_temporary_name_is_not_followed(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    (out / ".cap_all.pcap.tmp").symlink_to(victim)
    (tmp_path / "cap.pcap").write_bytes(pcap(records(MIXED)))
    with pytest.raises(RuntimeError, match=r"^Too many levels of symbolic links \(os error 40\)$"):
        flowsieve.split(str(tmp_path / "cap.pcap"), str(out), strategy="nosplit")
    assert victim.read_bytes() == b"keep"


@pytest.mark.parametrize("relative, message", [
    ("cap.pcap", "File exists (os error 17)"),  # the output is a file
    ("cap.pcap/sub", "Not a directory (os error 20)"),  # a parent is a file
])
def test_output_directory_that_cannot_be_created(tmp_path, relative, message):
    (tmp_path / "cap.pcap").write_bytes(pcap(records(MIXED)))
    with pytest.raises(OSError) as err:
        flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / relative))
    assert str(err.value) == message


def test_allocation_failure_raises_memory_error_and_closes_files(tmp_path):
    (tmp_path / "cap.pcap").write_bytes(pcap(records(MIXED)))
    before = len(list(pathlib.Path("/proc/self/fd").iterdir()))
    for _ in range(3):
        with pytest.raises(MemoryError):
            flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / "out"), buffer_bytes=2**62)
    assert len(list(pathlib.Path("/proc/self/fd").iterdir())) == before


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to switch to an unprivileged user")
def test_output_directory_needs_no_read_permission():
    tmp_path = pathlib.Path(tempfile.mkdtemp())  # pytest's own folders are private to root
    tmp_path.chmod(0o755)
    (tmp_path / "cap.pcap").write_bytes(pcap(records(MIXED)))
    (tmp_path / "cap.pcap").chmod(0o644)
    out = tmp_path / "out"
    out.mkdir(mode=0o300)
    os.chown(out, 65534, 65534)
    code = "import os, sys, flowsieve\nos.setgid(65534)\nos.setuid(65534)\nflowsieve.split(sys.argv[1], sys.argv[2], 'nosplit')"
    subprocess.run([sys.executable, "-c", code, str(tmp_path / "cap.pcap"), str(out)], check=True, timeout=60)
    assert (out / "cap_all.pcap").read_bytes() == pcap(records(MIXED))
    shutil.rmtree(tmp_path)


SHORT_NG = block("<", 0x0A0D0D0A, bytes([1, 2, 3, 4]) + bytes(12))
UNKNOWN = "Unsupported file format (unknown magic number)"


@pytest.mark.parametrize("content, kwargs, exc, message", [
    (None, {"strategy": "bogus", "output_type": "csv"}, ValueError, "Unknown strategy: bogus"),
    *[(None, {"strategy": t}, ValueError, "Unknown strategy: " + t) for t in ["SESSİON", "sessions", "", " host", "ses\0sion"]],
    *[(None, {"output_type": t}, ValueError, f"Unknown output_type: {t.lower()}. Valid: pcap, l7, stream")
      for t in ["csv", "PCAPNG", " pcap", "L7İ", "ΑΣ"]],  # str.lower: İ becomes i + U+0307, a final Σ becomes ς
    (None, {}, FileNotFoundError, "No such file or directory (os error 2)"),
    *[(c, {}, RuntimeError, UNKNOWN) for c in (b"", b"\xd4\xc3\xb2", b"GIF89a" + bytes(40))],
    (pcap([])[:23], {}, RuntimeError, "Invalid PCAP format: file too small for global header"),
    (pcap([], order=">", nano=True)[:4], {}, RuntimeError, "Invalid PCAP format: file too small for global header"),
    (SHORT_NG, {}, RuntimeError, "Invalid PCAP-NG format: Unknown byte order magic: 0x04030201"),
])
def test_rejected_before_the_output_directory_exists(tmp_path, content, kwargs, exc, message):
    if content is not None:
        (tmp_path / "in.pcap").write_bytes(content)
    with pytest.raises(exc) as err:
        flowsieve.split(str(tmp_path / "in.pcap"), str(tmp_path / "out"), **kwargs)
    assert exc in type(err.value).__mro__[:2] and str(err.value) == message  # OSErrors: a subclass of exc
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("content", [pcap([]), pcap([], order=">") + bytes(15), pcapng([]), pcap(FILTERED)])
def test_nothing_to_write_still_creates_the_directory(tmp_path, content):
    (tmp_path / "in.pcap").write_bytes(content)
    out = tmp_path / "a" / "b" / "out"
    flowsieve.split(str(tmp_path / "in.pcap"), str(out), port_filters=[9999])
    assert out.is_dir() and listing(out) == {}


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


def test_accepted_argument_forms(tmp_path):
    (tmp_path / "cap.pcap").write_bytes(pcap(MIXED))
    flowsieve.split(Text(tmp_path / "cap.pcap"), Text(tmp_path / "out"), Text("Flow"), Index(1), Index(0),
                    (Text("10.0.0.2"),), [Index(1234), True], Text("PCAP"))
    want = expected("flow")
    assert listing(tmp_path / "out") == {n: want[n] for n in (f"cap_{S12}.pcap", "cap_6_10_0_0_2_10_0_0_1_80_1234.pcap")}


RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, TypeError, "split() missing 2 required positional arguments: 'input_path' and 'output_dir'"),
    (("a",), {}, TypeError, "split() missing 1 required positional argument: 'output_dir'"),
    ((), {"output_dir": "o"}, TypeError, "split() missing 1 required positional argument: 'input_path'"),
    (("a", "b", "session", 1, 1, [], [], "pcap", "outer", "x"), {}, TypeError,
     "split() takes from 2 to 9 positional arguments but 10 were given"),
    (("a", "b"), {"bogus": 1}, TypeError, "split() got an unexpected keyword argument 'bogus'"),
    (("a", "b"), {"input_path": "a"}, TypeError, "split() got multiple values for argument 'input_path'"),
    (("a", "b", "flow"), {"strategy": "host"}, TypeError, "split() got multiple values for argument 'strategy'"),
    (("a", "b"), {"ip_filters": "10.0.0.1"}, TypeError, "argument 'ip_filters': Can't extract `str` to `Vec`"),
    (("a", "b"), {"port_filters": "80"}, TypeError, "argument 'port_filters': Can't extract `str` to `Vec`"),
    (("a", "b"), {"ip_filters": None}, TypeError,
     "argument 'ip_filters': 'NoneType' object cannot be converted to 'Sequence'"),
    (("a", "b"), {"port_filters": 80}, TypeError, "argument 'port_filters': 'int' object cannot be converted to 'Sequence'"),
    (("a", "b"), {"ip_filters": ["10.0.0.1", 5]}, TypeError,
     "argument 'ip_filters': 'int' object cannot be converted to 'PyString'"),
    (("a", "b"), {"port_filters": ["80"]}, TypeError,
     "argument 'port_filters': 'str' object cannot be interpreted as an integer"),
    (("a", "b"), {"strategy": 5}, TypeError, "argument 'strategy': 'int' object cannot be converted to 'PyString'"),
    (("a", bytearray(b"b")), {}, TypeError,
     "argument 'output_dir': 'bytearray' object cannot be converted to 'PyString'"),
    (("a", "b"), {"max_sessions": 1.5}, TypeError, "argument 'max_sessions': 'float' object cannot be interpreted as an integer"),
    (("a", "b"), {"max_sessions": -1}, OverflowError, RANGE),
    (("a", "b"), {"max_sessions": 2**32}, OverflowError, RANGE),
    (("a", "b"), {"port_filters": [80, 65536]}, OverflowError, RANGE),
    (("a", "b"), {"buffer_bytes": 2**64}, OverflowError, RANGE),
    (("a", "b"), {"buffer_bytes": -1}, OverflowError, "can't convert negative int to unsigned"),
    ((1, 2), {"strategy": 3}, TypeError, "argument 'input_path': 'int' object cannot be converted to 'PyString'"),
    (("a", "b"), {"output_type": 1, "max_sessions": -1}, OverflowError, RANGE),
])
def test_argument_errors(tmp_path, monkeypatch, args, kwargs, exc, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc) as err:
        flowsieve.split(*args, **kwargs)
    assert type(err.value) is exc and str(err.value) == message
    assert list(tmp_path.iterdir()) == []


def test_module_surface():
    public = ["Archive", "Flow", "Packet", "Store", "FlowArrays", "create_archive", "split", "pipe_archive", "flow_arrays",
              "read_flows"]
    assert "split" in flowsieve.__all__ and [n for n in public if n in flowsieve.__all__] == flowsieve.__all__
    assert all(hasattr(flowsieve, n) for n in flowsieve.__all__) and flowsieve.__doc__ == ""
    split = flowsieve.split
    assert (split.__name__, split.__module__) == ("split", "flowsieve")
    assert split.__doc__ == "Split a pcap/pcapng file into per-flow pcap or L7 files."
    assert split.__text_signature__ == ('(input_path, output_dir, strategy="session", max_sessions=10000, '
                                        'buffer_bytes=10000, ip_filters=..., port_filters=..., output_type="pcap", '
                                        'tunnels="outer", *, dedup=False, idle_timeouts=None)')


def test_second_initialisation_fails():
    code = "import sys, flowsieve\ndel sys.modules['flowsieve']\ntry:\n    import flowsieve\nexcept ImportError:\n    print('no')"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60).stdout == "no\n"
