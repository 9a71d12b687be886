"""The flowsieve command end to end, in a subprocess: each subcommand against the Python API, listing formats,
usage errors and failures, standard input and output, the progress display on a terminal, Ctrl-C."""
import csv
import decimal
import io
import ipaddress
import json
import os
import pty
import re
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from importlib import metadata
from pathlib import Path

import pytest

import flowsieve
from capwriter import MAC_B, T0, arp, block, packet, pcap, pcapng

_SCRIPT = Path(sysconfig.get_path("scripts")) / "flowsieve"
EXE = str(_SCRIPT) if _SCRIPT.is_file() else shutil.which("flowsieve")
pytestmark = pytest.mark.skipif(EXE is None, reason="the flowsieve command is not installed")

MIXED = [
    packet("10.0.0.1", "10.0.0.2", "tcp", 1234, 80, b"GET /"),
    packet("10.0.0.2", "10.0.0.1", "tcp", 80, 1234, b"200 OK", MAC_B),
    packet("10.0.0.1", "10.0.0.3", "udp", 5000, 53, b"query"),
    arp(),
    packet("2001:db8::2", "2001:db8::1", "tcp", 80, 999, b"v6"),
    packet("10.0.0.1", "10.0.0.2", "icmp"),
    packet("2001:db8::1", "2001:db8::2", "icmp"),
    (T0 - 5, 0, packet("10.0.0.3", "10.0.0.1", "udp", 53, 5000, b"answer")),  # the clock went back: negative duration
]
S12, S13 = "6_10_0_0_1_10_0_0_2_1234_80", "17_10_0_0_1_10_0_0_3_5000_53"


def run(*args, **kwargs):
    return subprocess.run([EXE, *map(str, args)], capture_output=True, timeout=60, **kwargs)


def ok(*args, **kwargs):
    result = run(*args, **kwargs)
    assert (result.returncode, result.stderr) == (0, b""), result.stderr
    return result.stdout


def listing(directory):
    return {p.name: p.read_bytes() for p in Path(directory).iterdir()}


@pytest.fixture
def cap(tmp_path):
    (tmp_path / "cap.pcap").write_bytes(pcap(MIXED))
    return tmp_path / "cap.pcap"


@pytest.fixture
def arch(cap):
    ok("archive", cap, cap.with_suffix(".fsieve"))
    return cap.with_suffix(".fsieve")


SPLIT_CASES = [  # command-line options, the same as split()/create_archive() arguments
    ([], {}),
    (["-s", "FLOW"], {"strategy": "flow"}),
    (["--strategy=HostPair", "-q"], {"strategy": "hostpair"}),
    (["--ip", "10.0.0.3", "--ip", "2001:db8::1"], {"ip_filters": ["10.0.0.3", "2001:db8::1"]}),
    (["--port", "80", "--port=53"], {"port_filters": [80, 53]}),
    # all of them, where --ip and --port take any of them
    (["--between", "10.0.0.1", "--between", "10.0.0.3", "--report", "JSON"], {"ip_filters": ["10.0.0.3"]}),
    (["--between-port", "1234", "--between-port", "80"], {"port_filters": [1234]}),
    (["-t", "L7", "--max-open", "1", "--buffer", "0"], {"output_type": "l7", "max_sessions": 1, "buffer_bytes": 0}),
]


@pytest.mark.parametrize("options, kwargs", SPLIT_CASES)
def test_split_and_archive_give_what_the_module_gives(tmp_path, cap, options, kwargs):
    report = ok("split", cap, tmp_path / "cli", *options)
    assert report == b"" if "--report" not in options else json.loads(report) == {
        "packets_read": 8, "packets_kept": 2, "flows": 1, "files": 1, "bytes_read": len(cap.read_bytes()),
        "fragments_matched": 0, "fragments_unmatched": 0, "tunnel_packets": 0, "undecoded": {}, "warnings": []}
    flowsieve.split(str(cap), str(tmp_path / "py"), **kwargs)
    assert listing(tmp_path / "cli") == listing(tmp_path / "py")
    if "output_type" in kwargs:
        return
    ok("archive", *options, cap, tmp_path / "cli.fsieve")
    flowsieve.create_archive(str(cap), str(tmp_path / "py.fsieve"), **kwargs)
    assert (tmp_path / "cli.fsieve").read_bytes() == (tmp_path / "py.fsieve").read_bytes()


QUERY = packet("10.0.0.1", "10.0.0.2", "udp", 5000, 53, b"q")
SAME = {"tagged": packet("10.0.0.1", "10.0.0.2", "udp", 5000, 53, b"q", vlan=5), "padded": QUERY + bytes(17),
        "other TTL": QUERY[:22] + b"\x3f" + QUERY[23:]}
OTHERS = [packet("10.0.0.1", "10.0.0.2", "udp", 6000 + i, 53, b"q") for i in range(64)]
DEDUP = {  # frames (time in ms, frame), the indices of those kept
    "copies behind other link layers": ([(0, QUERY), (5, SAME["tagged"]), (10, SAME["padded"])], [0]),
    "a copy read first": ([(5, QUERY), (0, SAME["tagged"])], [0]),  # interfaces interleave out of time order
    "a copy 11 ms later": ([(0, QUERY), (11, SAME["tagged"])], [0, 1]),
    "another TTL": ([(0, QUERY), (1, SAME["other TTL"])], [0, 1]),  # routed: another packet
    "63 frames between": ([(0, QUERY)] + [(1, f) for f in OTHERS[:63]] + [(2, QUERY)], list(range(64))),
    "64 frames between": ([(0, QUERY)] + [(1, f) for f in OTHERS] + [(2, QUERY)], list(range(66))),
}


@pytest.mark.parametrize("frames, kept", DEDUP.values(), ids=DEDUP)
def test_dedup_drops_a_packet_captured_twice(tmp_path, frames, kept):
    records = [(T0, ms * 1000, frame) for ms, frame in frames]
    (tmp_path / "cap.pcap").write_bytes(pcap(records))
    for dedup, want in ((False, range(len(records))), (True, kept)):  # off by default
        flowsieve.split(tmp_path / "cap.pcap", tmp_path / str(dedup), strategy="nosplit", **({"dedup": True} if dedup else {}))
        assert listing(tmp_path / str(dedup)) == {"cap_all.pcap": pcap([records[i] for i in want])}
    report = json.loads(ok("archive", tmp_path / "cap.pcap", tmp_path / "a.fsieve", "--dedup", "--report", "json", "-q"))
    assert (report["packets_kept"], report["duplicates_dropped"]) == (len(kept), len(records) - len(kept))
    flowsieve.create_archive(tmp_path / "cap.pcap", tmp_path / "py.fsieve", dedup=True)
    assert (tmp_path / "a.fsieve").read_bytes() == (tmp_path / "py.fsieve").read_bytes()
    assert sum(f.packet_count for f in flowsieve.read_flows(tmp_path / "cap.pcap", dedup=True).flows()) == len(kept)
    pytest.importorskip("numpy")
    assert flowsieve.flow_arrays(tmp_path / "cap.pcap", dedup=True).packet_count.sum() == len(kept)


def test_standard_input_and_stem(tmp_path, cap):
    named = tmp_path / "stdin"  # the command's stem for "-"; --stem sets any other
    named.write_bytes(cap.read_bytes())
    flowsieve.split(named, tmp_path / "py")
    ok("split", "-", tmp_path / "cli", input=cap.read_bytes())
    assert listing(tmp_path / "cli") == listing(tmp_path / "py")
    ok("split", cap, tmp_path / "stem", "--stem", "stdin")
    assert listing(tmp_path / "stem") == listing(tmp_path / "py")
    ok("archive", "-", tmp_path / "cli.fsieve", input=cap.read_bytes())
    flowsieve.create_archive(str(cap), str(tmp_path / "py.fsieve"))
    assert (tmp_path / "cli.fsieve").read_bytes() == (tmp_path / "py.fsieve").read_bytes()


QUERIES = [([], [("flows", ())]), (["--ip", "10.0.0.1"], [("find_by_ip", ("10.0.0.1",))]),
           (["--ip", "::"], [("find_by_ip", ("::",))]), (["--port", "80"], [("find_by_port", (80,))]),
           (["--proto", "TCP"], [("find_by_protocol", ("tcp",))]),
           (["--proto", "icmpv6"], [("find_by_protocol", ("icmpv6",))]), (["--port", "7"], [("find_by_port", (7,))]),
           (["--ip", "10.0.0.1", "--proto", "udp", "--port", "53"],  # queries combine: all must match
            [("find_by_ip", ("10.0.0.1",)), ("find_by_protocol", ("udp",)), ("find_by_port", (53,))]),
           (["--proto", "tcp", "--ip", "10.0.0.3"], [("find_by_protocol", ("tcp",)), ("find_by_ip", ("10.0.0.3",))]),
           # repeated, --ip, --port and --proto take any of their values (a list), --between and --between-port all
           (["--ip", "10.0.0.2", "--ip", "10.0.0.3"], [[("find_by_ip", ("10.0.0.2",)), ("find_by_ip", ("10.0.0.3",))]]),
           (["--port", "80", "--port", "53"], [[("find_by_port", (80,)), ("find_by_port", (53,))]]),
           (["--proto", "17", "--proto", "icmp"], [[("find_by_protocol", ("udp",)), ("find_by_protocol", ("icmp",))]]),
           (["--between", "10.0.0.1", "--between", "10.0.0.3"], [("find_by_ip", ("10.0.0.1",)), ("find_by_ip", ("10.0.0.3",))]),
           (["--between-port", "80", "--between-port", "999", "--ip", "::", "--ip", "2001:db8::1"],
            [("find_by_port", (80,)), ("find_by_port", (999,))])]
ATTRS = ["id", "proto", "proto_name", "src_addr", "src_port", "dst_addr", "dst_port", "packet_count", "total_bytes"]


@pytest.mark.parametrize("fmt", ["csv", "json", "JSON"])
@pytest.mark.parametrize("query, calls", QUERIES)
def test_flows_lists_what_the_queries_return(arch, query, calls, fmt):
    out = ok("flows", arch, *query, "--format", fmt).decode()
    rows = (list(csv.DictReader(io.StringIO(out))) if fmt == "csv" else
            [json.loads(s, parse_float=decimal.Decimal) for s in out.splitlines()])
    archive = flowsieve.Archive.open(arch)
    found = [{f.id for method, args in (call if isinstance(call, list) else [call])
              for f in getattr(archive, method)(*args)} for call in calls]
    want = [archive.get_flow(i) for i in sorted(set.intersection(*found))]
    assert len(rows) == len(want)
    for row, flow in zip(rows, want):
        # addresses as tshark and Zeek print them, where the Flow attributes spell IPv6 out
        assert [str(row[a]) for a in ATTRS] == [str(ipaddress.ip_address(getattr(flow, a)) if a.endswith("_addr")
                                                    else getattr(flow, a)) for a in ATTRS]
        assert float(row["start_ts"]) == flow.start_ts
        # the times to the nanosecond as integers, which no JSON reader rounds
        assert fmt == "csv" or type(row["start_ns"]) is type(row["end_ns"]) is int
        start, end = int(row["start_ns"]), int(row["end_ns"])
        assert (start, end - start) == (decimal.Decimal(row["start_ts"]) * 10**9, decimal.Decimal(row["duration"]) * 10**9)
        assert round(float(row["duration"]) * 1e6) == round(flow.end_ts * 1e6) - round(flow.start_ts * 1e6)


ROW = r" 1 TCP +10\.0\.0\.1:1234 +10\.0\.0\.2:80 +2 +119 12:26:40 +1\.001"
CID = r"1:[A-Za-z0-9+/]{27}="


@pytest.mark.parametrize("options, heading, row, width", [
    ([], "ID PROTO SOURCE DESTINATION PKTS BYTES START DURATION STATE", ROW + " OTH", 80),  # what fits in 80 columns
    (["-l"], "ID PROTO SOURCE DESTINATION PKTS BYTES START DURATION STATE HISTORY COMMUNITY ID",
     ROW + " OTH +Dd +" + CID, None),
    (["--columns", "Community_ID,dst,id"], "COMMUNITY ID DESTINATION ID", CID + r" 10\.0\.0\.2:80 +1", None),
], ids=["default", "long", "columns"])
def test_flows_table(tmp_path, arch, options, heading, row, width):
    lines = ok("flows", arch, "--port", "1234", *options).decode().splitlines()
    assert " ".join(lines[0].split()) == heading and lines[-1] == "1 flow, 2 packets, 119 bytes, 2020-09-13 (UTC)"
    assert re.fullmatch(row, lines[1])
    lines = ok("flows", arch, *options).decode().splitlines()
    assert len(lines) == 6 + 2 and (width is None or max(map(len, lines)) <= width)
    if "COMMUNITY ID" in lines[0]:  # aligned: none for the flow without an IP layer
        assert len({len(s) for s in lines[1:-1] if "1:" in s}) == 1 and sum("1:" in s for s in lines) == 5
    if options == ["-l"]:
        assert re.match(r" 3 0 +- +- +1 +42 ", lines[3])  # no IP layer
        assert re.match(r" 4 TCP +\[2001:db8::2\]:80 +\[2001:db8::1\]:999 ", lines[4])  # RFC 5952, in brackets
        assert [s.split()[0] for s in lines[1:-1]] == [str(f.id) for f in flowsieve.Archive.open(str(arch)).flows()]
    assert ok("flows", arch, "--proto", "58").decode().splitlines()[-1] == "1 flow, 1 packet, 62 bytes, 2020-09-13 (UTC)"
    if not options:  # starts on several days carry their dates
        (tmp_path / "two.pcap").write_bytes(pcap([(T0, 0, MIXED[0]), (T0 + 86400, 0, MIXED[2])]))
        ok("archive", tmp_path / "two.pcap", tmp_path / "two.fsieve")
        lines = ok("flows", tmp_path / "two.fsieve").decode().splitlines()
        assert " 2020-09-14 12:26:40 " in lines[2] and lines[-1] == "2 flows, 2 packets, 106 bytes"


@pytest.mark.parametrize("strategy, names", [
    ("session", None),  # the split's names, the flow without an IP layer as no_ip_<id>
    ("flow", {f"cap_{S12}_1.pcap", f"cap_{S12}_2.pcap", f"cap_{S13}_3.pcap", f"cap_{S13}_8.pcap", "cap_no_ip_4.pcap",
              "cap_6_2001_db8__1_2001_db8__2_999_80.pcap", "cap_1_10_0_0_1_10_0_0_2_0_0.pcap",
              "cap_58_2001_db8__1_2001_db8__2_0_0.pcap"}),  # both directions of a session: one name, suffixed
])
def test_export_every_flow(tmp_path, cap, strategy, names):
    ok("archive", cap, tmp_path / "cap.fsieve", "-s", strategy)
    ok("export", tmp_path / "cap.fsieve", "-o", tmp_path / "x" / "y")
    files = listing(tmp_path / "x" / "y")
    assert sorted(files.values()) == sorted(flowsieve.pipe_archive(str(tmp_path / "cap.fsieve")))
    if names is None:
        flowsieve.split(str(cap), str(tmp_path / "split"), strategy=strategy)
        split = listing(tmp_path / "split")
        split["cap_no_ip_3.pcap"] = split.pop("cap_no_session.pcap")
        assert files == split
    else:
        assert set(files) == names


def test_export_of_a_table_repeating_one_flow_8000_times(tmp_path, arch):
    content = arch.read_bytes()
    table_off = struct.unpack_from("<Q", content, len(content) - 80)[0]
    footer = bytearray(content[-128:])
    struct.pack_into("<2Q", footer, 48, len(content) - 128, 96 * 8000)  # table_off, table_len
    struct.pack_into("<2Q", footer, 72, 0, 0)  # no index
    table = b"".join(struct.pack("<Q", i) + content[table_off + 8:table_off + 96] for i in range(1, 8001))
    (tmp_path / "rep.fsieve").write_bytes(content[:-128] + table + footer)
    ok("export", tmp_path / "rep.fsieve", "-o", tmp_path / "out")  # within run()'s time limit
    files = listing(tmp_path / "out")
    assert set(files) == {f"rep_{S12}_{n}.pcap" for n in range(1, 8001)}
    assert files[f"rep_{S12}_1.pcap"] == flowsieve.pipe_archive(str(arch))[0]


def test_export_chosen_flows_and_standard_output(tmp_path, arch):
    pipes = flowsieve.pipe_archive(str(arch))
    ok("export", arch, "3", "-o", tmp_path / "out", "1", "3")
    assert sorted(listing(tmp_path / "out").values()) == sorted([pipes[0], pipes[2]])
    for i, want in enumerate(pipes, 1):
        assert ok("export", arch, i, "-o", "-") == want
    master, slave = pty.openpty()  # binary is not written to a terminal
    result = subprocess.run([EXE, "export", arch, "1", "-o", "-"], stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    os.close(master)
    assert result.returncode == 2 and b"standard output is a terminal" in result.stderr
    if shutil.which("tcpdump"):
        shell = f"'{EXE}' export '{arch}' 1 -o - | tcpdump -nr -"
        packets = flowsieve.Archive.open(str(arch)).get_flow(1).packet_count
        assert subprocess.run(shell, shell=True, capture_output=True).stdout.count(b"\n") == packets


COMMANDS = ["split", "archive", "flows", "export", "arrays"]


def test_help_and_version():
    assert ok("--version").decode() == f"flowsieve {metadata.version('flowsieve')}\n" == f"flowsieve {flowsieve.__version__}\n"
    assert ok("-V") == ok("--version")
    assert ok("--help").startswith(b"Usage: flowsieve COMMAND")
    for command in COMMANDS:
        assert ok(command, "--help").startswith(f"Usage: flowsieve {command} ".encode())
        assert ok(command, "x", "-h", "--bogus") == ok(command, "--help")  # --help ends the parsing


V4, V6 = "6_10_0_0_1_10_0_0_2_1234_80", "6_2001_db8__1_2001_db8__2_999_80"


@pytest.mark.parametrize("args, status, message, made", [  # made: directories there before the command
    ([], 2, None, []), (["frobnicate"], 2, "unknown command 'frobnicate'", []),
    (["--bogus"], 2, "unknown option '--bogus'", []),
    (["split", "{cap}"], 2, "split needs CAPTURE and OUTDIR", []), (["flows"], 2, "flows needs ARCHIVE or FOLDER", []),
    (["split", "{cap}", "o", "extra"], 2, "unexpected argument 'extra'", []),
    (["split", "{cap}", "o", "--frob"], 2, "unknown option '--frob'", []),
    (["archive", "{cap}", "a", "-qZ"], 2, "unknown option '-Z'", []),
    (["split", "{cap}", "o", "--quiet=yes"], 2, "option '--quiet' takes no value", []),
    (["split", "{cap}", "o", "--port", "65536"], 2, "invalid --port value '65536': at most 65535", []),
    (["archive", "{cap}", "a", "--port", "-1"], 2, "invalid --port value '-1': not a number", []),
    (["split", "{cap}", "o", "--max-open", "4294967296"], 2,
     "invalid --max-open value '4294967296': at most 4294967295", []),
    (["split", "{cap}", "o", "--buffer", "1k"], 2, "invalid --buffer value '1k': not a number", []),
    (["split", "{cap}", "o", "-t", "stream", "--stream-gaps", "fill"], 2,
     "invalid --stream-gaps value 'fill': valid are skip, zero", []),
    (["split", "{cap}", "o", "--stream-gaps", "zero"], 2, "--stream-gaps applies to -t stream", []),
    (["split", "{cap}", "o", "--ip"], 2, "option '--ip' needs a value", []),
    (["flows", "{arch}", "-f"], 2, "option '--format' needs a value", []),
    (["flows", "{arch}", "--format", "xml"], 2, "invalid -f/--format value 'xml': valid are table, csv, json, zeek", []),
    (["flows", "{arch}", "--columns", "id,sport"], 2, "invalid --columns value 'sport': valid are archive, id, proto, "
     "src, dst, packet_count, total_bytes, start_ts, duration, state, history, app, server_name, tunnel, community_id", []),
    (["flows", "{arch}", "-l", "-f", "csv"], 2, "-l/--long and --columns choose the table's columns: csv and json carry "
     "every field", []),
    (["flows", "{arch}", "--port", "http"], 2, "invalid --port value 'http': not a number", []),
    (["export", "{arch}"], 2, "export needs -o DIR (or -o FILE, or -o - for standard output)", []),
    (["export", "{arch}", "-o", "-"], 2, "-o - writes one flow or a --merge: give one flow id, or --merge", []),
    (["export", "{arch}", "1", "2", "-o", "-"], 2,
     "-o - writes one flow or a --merge: give one flow id, or --merge", []),
    (["export", "{arch}", "18446744073709551616", "-o", "d"], 2,
     "invalid flow id '18446744073709551616': not a number", []),
    (["export", "{arch}", "1", "--port", "80", "-o", "d"], 2, "give flow ids or a query, not both", []),
    (["export", "{arch}", "{arch}", "1", "-o", "d"], 2,
     "flow ids name the flows of one archive: give a single ARCHIVE", []),
    (["flows", "{arch}", "--since", "2020-02-30"], 2, "invalid --since '2020-02-30': seconds since the epoch or an "
                                                      "ISO 8601 date and time, e.g. 2024-05-01T14:00:00Z", []),
    (["flows", "{arch}", "--flow", "tcp 10.0.0.1 80 10.0.0.2"], 2,
     "invalid --flow 'tcp 10.0.0.1 80 10.0.0.2': give PROTO ADDR PORT ADDR PORT", []),
    (["flows", "{arch}", "--flow", "tcp 10.0.0.1 80 10.0.0.x 443"], 2,
     "invalid --flow 'tcp 10.0.0.1 80 10.0.0.x 443': '10.0.0.x' is not an IPv4 or IPv6 address", []),
    (["split", "{cap}", "o", "-s", "Sessions"], 2,
     "invalid -s/--strategy value 'Sessions': valid are session, flow, host, hostpair, mac, bssid, nosplit, connection", []),
    (["archive", "{cap}", "a", "--strategy", ""], 2,
     "invalid -s/--strategy value '': valid are session, flow, host, hostpair, mac, bssid, nosplit, connection", []),
    (["split", "{cap}", "o", "--type", "PNG"], 2, "invalid -t/--type value 'PNG': valid are pcap, l7, stream", []),
    (["split", "{cap}", "o", "--ip", "10.0.0.1/8"], 2,
     "invalid --ip value '10.0.0.1/8': not an IPv4 or IPv6 address", []),
    (["flows", "{arch}", "--ip", "10.0.0.256"], 2, "invalid --ip value '10.0.0.256': not an IPv4 or IPv6 address", []),
    (["flows", "{arch}", "--proto", "tcp", "--proto", "GRE"], 2,
     "invalid --proto value 'GRE': protocol tcp, udp, icmp, icmpv6 or a number", []),
    (["export", "{arch}", "--proto", "256", "-o", "d"], 2, "invalid protocol number '256': at most 255", []),
    (["flows", "{arch}", "--community-id", "1:LzRJKgjvUJlC/VQLtISlfACcEzA"], 2, "invalid --community-id "
     "'1:LzRJKgjvUJlC/VQLtISlfACcEzA': 1: and the base64 of 20 bytes (30 characters, ending in =), as 'flowsieve "
     "flows' lists it", []),
    (["flows", "{arch}", "--community-id", "1:LzRJKgjvUJlC/VQLtISlfACcEzB="], 2, "invalid --community-id "
     "'1:LzRJKgjvUJlC/VQLtISlfACcEzB=': 1: and the base64 of 20 bytes (30 characters, ending in =), as 'flowsieve "
     "flows' lists it", []),
    (["split", "{cap}", "o", "--between", "10.0.0.1", "--between", "x"], 2,
     "invalid --between value 'x': not an IPv4 or IPv6 address", []),
    (["flows", "{arch}", "--between-port", "65536"], 2, "invalid --between-port value '65536': at most 65535", []),
    (["archive", "{cap}", "a", "--report", "xml"], 2, "invalid --report value 'xml': valid are json", []),
    (["split", "-", "o", "--stem", "a/b"], 2, "invalid --stem value 'a/b': a file name without /", []),
    (["arrays", "-", "{cap}", "-", "-o", "o.npz"], 2, "- (standard input) can be given only once", []),
    (["split", "missing.pcap", "o"], 1, "missing.pcap: No such file or directory", []),
    (["split", ".", "o"], 1, ".: Is a directory", []),
    (["archive", "{arch}", "a"], 1, "{arch}: Unsupported file format (unknown magic number)", []),
    (["archive", "{cap}", "no/a.fsieve"], 1,
     "no/a.fsieve.tmp: Failed to create temp archive file: No such file or directory", []),
    (["flows", "missing.fsieve"], 1, "missing.fsieve: Failed to open archive: No such file or directory", []),
    (["flows", "{cap}"], 1, "{cap}: a capture, not an archive; archive it first: flowsieve archive {cap} {arch}", []),
    (["flows", "{arch}", "{cap}"], 1, "{cap}: a capture, not an archive; archive it first: flowsieve archive {cap} "
                                      "{arch}", []),
    (["split", "e.tmp", "o"], 1, "e.tmp: the capture is empty (0 bytes)", ["e.tmp"]),
    (["archive", "e.tmp", "a"], 1, "e.tmp: the capture is empty (0 bytes)", ["e.tmp"]),
    (["export", "{arch}", "2", "99", "-o", "d"], 1, "{arch}: no flow with id 99", []),
    (["export", "{arch}", "-o", "{cap}"], 1, "{cap}: File exists", []),
    # failures once files were written: the run removes its own temporary files, no other
    (["split", "{cap}", "o"], 1, f"o/cap_{V4}.pcap: Not a regular file\n"
                                 "flowsieve: removed 6 temporary files of this run", [f"o/cap_{V4}.pcap", "o/.x.tmp"]),
    (["archive", "{cap}", "a"], 1, "a: Not a regular file", ["a"]),
])
def test_messages_exit_status_and_what_is_left(tmp_path, arch, args, status, message, made):
    fill = {"cap": arch.with_suffix(".pcap"), "arch": arch}
    for name in made:  # directories, and files of other runs
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).mkdir() if not name.endswith(".tmp") else (tmp_path / name).write_bytes(b"")
    before = sorted(str(p) for p in tmp_path.rglob("*"))
    result = run(*[a.format(**fill) for a in args], cwd=tmp_path)
    assert (result.returncode, result.stdout) == (status, b"")
    stderr = result.stderr.decode()
    if message is None:
        assert stderr.startswith("Usage: flowsieve")
    else:
        want = f"flowsieve: {message.format(**fill)}\n"
        if status == 2:
            want += f"Try 'flowsieve {args[0]} --help' for more information.\n" if args[0] in COMMANDS else \
                "Try 'flowsieve --help' for more information.\n"
        assert stderr == want
    assert sorted(str(p) for p in tmp_path.rglob("*")) == before  # nothing written, nothing left


NAME = os.fsdecode(b"=cmd\xff\x1b[31m,x.fsieve")  # a formula, bytes that are not UTF-8, an escape sequence, a comma
BAD = "\x1b[2Jbad.fsieve"
SKIPPED = "flowsieve: warning: skipped store/\\x1b[2Jbad.fsieve: Offset list extends beyond file\n"


def hostile_places(tmp_path, arch):
    """A folder of the archive under a hostile name and a copy whose first offset list runs past its end (it opens,
    its packets cannot be found); a FIFO with a reader, a symlink, a split's file name taken by a symlink, a private
    /dev/null when root. Returns the reader's descriptor."""
    content = bytearray(arch.read_bytes())
    (tmp_path / "store").mkdir()
    (tmp_path / "store" / NAME).write_bytes(content)
    struct.pack_into("<I", content, struct.unpack_from("<Q", content, len(content) - 80)[0] + 64, 2**32 - 1)
    (tmp_path / "store" / BAD).write_bytes(content)
    (tmp_path / "o").mkdir()
    for link in ("link", f"o/cap_{V4}.pcap"):
        os.symlink("target", tmp_path / link)
    if os.geteuid() == 0:
        os.mknod(tmp_path / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    os.mkfifo(tmp_path / "fifo")
    return os.open(tmp_path / "fifo", os.O_RDONLY | os.O_NONBLOCK)


def table_names(out):
    return [line.split()[0] for line in out.decode().splitlines()[1:-1]]


def merged(arch, *query):
    return ok("export", arch, "--merge", "-o", "-", *query)


HOSTILE_CASES = [  # arguments, exit status, standard error, what holds after: f(tmp_path, stdout, FIFO reader, arch)
    (["export", "{arch}", "--merge", "-o", "null"], 0, "",
     lambda t, out, fifo, a: stat.S_ISCHR(os.lstat(t / "null").st_mode)),
    (["export", "{arch}", "1", "-o", "fifo"], 0, "",
     lambda t, out, fifo, a: os.read(fifo, 1 << 20) == flowsieve.pipe_archive(str(a))[0]),
    (["export", "{arch}", "--merge", "-o", "fifo"], 0, "", lambda t, out, fifo, a: os.read(fifo, 1 << 20) == merged(a)),
    (["export", "{arch}", "--merge", "-o", "link"], 1, "flowsieve: link: Not a regular file\n", None),
    (["export", "{arch}", "2", "-o", "link"], 1, "flowsieve: link: Not a regular file\n", None),
    (["export", "{arch}", "1", "-o", "o"], 1, f"flowsieve: o/cap_{V4}.pcap: Not a regular file\n", None),
    (["split", "{cap}", "o"], 1, f"flowsieve: o/cap_{V4}.pcap: Not a regular file\n"
                                 "flowsieve: removed 6 temporary files of this run\n", None),
    # a stem that is not UTF-8 is "unknown", as in the split
    (["export", "store", "-o", "out"], 0, SKIPPED, lambda t, out, fifo, a: sorted(listing(t / "out").items()) == sorted(
        (n.replace("cap_", "unknown_", 1), d) for n, d in listing(t / "ref").items())),
    (["export", "store", "--merge", "-o", "m.pcap"], 0, SKIPPED,
     lambda t, out, fifo, a: (t / "m.pcap").read_bytes() == merged(a)),
    # only the chosen flows are checked: the damaged one has port 80, not 53
    (["export", "store", "--merge", "-o", "-", "--port", "80"], 0, SKIPPED,
     lambda t, out, fifo, a: out == merged(a, "--port", "80")),
    (["export", "store", "--merge", "-o", "-", "--port", "53"], 0, "",
     lambda t, out, fifo, a: len(out) == 2 * len(merged(a, "--port", "53")) - 24),
    (["export", "store/" + BAD, "--merge", "-o", "-"], 1,  # named itself, it fails the command
     "flowsieve: store/\\x1b[2Jbad.fsieve: Offset list extends beyond file\n", None),
    (["arrays", "store", "-o", "a.npz"], 0, SKIPPED,  # the rows of the other archive, which is input 1
     lambda t, out, fifo, a: list(pytest.importorskip("numpy").load(t / "a.npz")["source"]) == [1] * 6),
    (["arrays", "store/" + BAD, "-o", "a.npz"], 1,
     "flowsieve: store/\\x1b[2Jbad.fsieve: Offset list extends beyond file\n", None),
    (["flows", "store", "-f", "json"], 0, "",
     lambda t, out, fifo, a: [json.loads(s)["archive"] for s in out.splitlines()] ==
     [BAD] * 6 + ["=cmd\ufffd\x1b[31m,x.fsieve"] * 6),
    (["flows", "store"], 0, "",
     lambda t, out, fifo, a: table_names(out) == ["\\x1b[2Jbad.fsieve"] * 6 + ["=cmd\\xff\\x1b[31m,x.fsieve"] * 6),
    (["flows", "store", "-f", "csv"], 0, "", lambda t, out, fifo, a:  # the names as they are, quoted where they must be
     [r[0] for r in csv.reader(io.StringIO(os.fsdecode(out)))][1:] == [BAD] * 6 + [NAME] * 6),
    (["flows", "{arch}", "-f", "\x1b[2J"], 2, "flowsieve: invalid -f/--format value '\\x1b[2J': valid are table, csv, "
                                              "json, zeek\nTry 'flowsieve flows --help' for more information.\n", None),
]


@pytest.mark.parametrize("args, status, message, holds", HOSTILE_CASES)
def test_hostile_destinations_and_archive_names(tmp_path, arch, args, status, message, holds):
    if "null" in args and os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    fifo = hostile_places(tmp_path, arch)
    try:
        ok("export", arch, "-o", tmp_path / "ref")
        result = run(*[a.format(cap=arch.with_suffix(".pcap"), arch=arch) for a in args], cwd=tmp_path)
        assert (result.returncode, result.stderr.decode()) == (status, message)
        assert holds is None or holds(tmp_path, result.stdout, fifo, arch)
    finally:
        os.close(fifo)
    kinds = [stat.S_ISLNK(os.lstat(tmp_path / n).st_mode) for n in ("link", f"o/cap_{V4}.pcap")]
    assert kinds == [True, True] and stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode)
    assert not (tmp_path / "target").exists()


def store_export(archive, path):
    store = flowsieve.Store(archive)
    store.export(store.find(), path)


WRITERS = {  # every writer of a named output, as f(destination): the command's arguments, or a call of the module
    "archive": lambda d: ["archive", "cap.pcap", d],
    "arrays": lambda d: ["arrays", "cap.pcap", "-o", d],
    "export": lambda d: ["export", "cap.fsieve", "--merge", "-o", d],
    "split": lambda d: ["split", "cap.pcap", os.path.dirname(d)],  # its destinations: the flows' files in the folder
    "create_archive": lambda d: lambda: flowsieve.create_archive("cap.pcap", d),
    "Store.export": lambda d: lambda: store_export("cap.fsieve", d),
    "split()": lambda d: lambda: flowsieve.split("cap.pcap", os.path.dirname(d)),
}
PLANT = {"device": lambda d: os.mknod(d, 0o600 | stat.S_IFCHR, os.makedev(1, 3)), "fifo": os.mkfifo,
         "symlink": lambda d: os.symlink("target", d), "socket": lambda d: socket.socket(socket.AF_UNIX).bind(d)}


@pytest.mark.parametrize("place", [*PLANT, "-", "an input", "NUL"])
@pytest.mark.parametrize("writer", WRITERS)
def test_one_destination_rule_for_every_writer(tmp_path, arch, monkeypatch, capfdbinary, writer, place):
    """A device or FIFO is written directly, a symlink or socket refused, - is standard output, an output that is an
    input is refused before anything is written, a path with a NUL never reaches the system."""
    command, splits = isinstance(WRITERS[writer]("d"), list), writer.startswith("split")
    if (place == "NUL" and command) or (splits and place in ("-", "an input")):
        pytest.skip("no such destination for this writer")
    if place == "device" and os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    monkeypatch.chdir(tmp_path)
    name = f"o/cap_{V4}.pcap" if splits else "dest"

    def write(dest):
        capfdbinary.readouterr()
        if command:
            result = run(*WRITERS[writer](dest))
            return result.returncode, result.stdout, result.stderr.decode()
        try:
            WRITERS[writer](dest)()
        except Exception as err:
            return err, capfdbinary.readouterr().out, ""
        return 0, capfdbinary.readouterr().out, ""

    ref = name.replace("o/", "ref/") if splits else "ref"
    assert write(ref)[0] == 0
    made = Path(ref).read_bytes()
    os.makedirs("o", exist_ok=True)
    dest = {"-": "-", "an input": "cap.fsieve" if "export" in writer else "cap.pcap",
            "NUL": name.replace("o/", "o\0/") if splits else "dest\0.tmp"}.get(place, name)
    if place in PLANT:
        PLANT[place](dest)
    fifo = os.open(dest, os.O_RDONLY | os.O_NONBLOCK) if place == "fifo" else None
    before = {p: Path(p).read_bytes() for p in ("cap.pcap", "cap.fsieve")}
    status, out, err = write(dest)
    if place in ("device", "fifo", "-"):
        assert status == 0 and out == (made if place == "-" else b"")
        assert fifo is None or os.read(fifo, 1 << 20) == made and not os.close(fifo)
        assert place == "-" or stat.S_ISCHR(os.lstat(dest).st_mode) or stat.S_ISFIFO(os.lstat(dest).st_mode)
    elif place in PLANT:
        assert "Not a regular file" in (err if command else str(status)) and (status == 1 or type(status) in (OSError, RuntimeError))
        assert os.path.islink(dest) == (place == "symlink") and not os.path.exists("target")
    elif command:
        assert (status, err.splitlines()[0]) == (2, f"flowsieve: output {dest} is the input {dest}")
    else:
        assert type(status) is ValueError
        assert str(status) == ("embedded null byte" if place == "NUL" else f"output {dest} is the input {dest}")
    assert before == {p: Path(p).read_bytes() for p in ("cap.pcap", "cap.fsieve")}
    assert not os.path.exists("dest") or place in PLANT


def test_an_export_into_a_folder_that_fails_midway_leaves_none_of_its_files(tmp_path):
    """A full disk, as a limit on the size of a file: the second flow's file is too large."""
    big = [packet("10.0.0.1", "10.0.0.9", "udp", 7, 9, b"x" * 1000)] * 10
    (tmp_path / "c.pcap").write_bytes(pcap([packet("10.0.0.1", "10.0.0.3", "udp", 5, 53, b"q"), *big]))
    ok("archive", tmp_path / "c.pcap", tmp_path / "c.fsieve")
    (tmp_path / "out").mkdir()

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    result = subprocess.run([EXE, "export", tmp_path / "c.fsieve", "-o", tmp_path / "out"], capture_output=True,
                            preexec_fn=limited, timeout=60)
    assert result.returncode == 1 and result.stderr.decode().splitlines()[1:] == [
        "flowsieve: removed 1 file of this run"] and "File too large" in result.stderr.decode()
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("command, signum", [("split", signal.SIGTERM), ("archive", signal.SIGINT)])
def test_a_signal_stops_a_long_filter_compile_at_once(tmp_path, cap, command, signum):
    expression = " or ".join(f"host 10.{i >> 8}.{i & 255}.1" for i in range(1000))  # minutes of libpcap's optimizer
    out = tmp_path / ("out" if command == "split" else "a.fsieve")
    p = subprocess.Popen([EXE, command, cap, out, "--filter", expression], stderr=subprocess.PIPE)
    time.sleep(0.5)
    p.send_signal(signum)
    sent = time.monotonic()
    status = p.wait(5)
    assert time.monotonic() - sent < 1 and (status, p.stderr.read()) == (128 + signum, b"flowsieve: Interrupted\n")
    assert os.listdir(tmp_path) == ["cap.pcap"]
    left = [d for d in os.listdir("/proc") if d.isdigit() and str(out).encode() in read_or_empty(f"/proc/{d}/cmdline")]
    assert left == []  # the compiling child went too


def read_or_empty(path):
    try:
        return Path(path).read_bytes()
    except OSError:
        return b""


def test_a_reader_that_closes_the_pipe_ends_the_command_quietly(tmp_path):
    frames = [packet("10.0.0.1", "10.0.0.2", "udp", 1024 + i, 53) for i in range(3000)]
    (tmp_path / "many.pcap").write_bytes(pcap(frames))
    for strategy, args in (("session", ["flows", "-f", "json"]), ("nosplit", ["export", "-o", "-", "1"])):
        ok("archive", tmp_path / "many.pcap", tmp_path / "many.fsieve", "-s", strategy)  # output beyond a pipe's buffer
        p = subprocess.Popen([EXE, args[0], tmp_path / "many.fsieve", *args[1:]], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        p.stdout.read(10)
        p.stdout.close()
        assert p.stderr.read() == b"" and p.wait(10) == -signal.SIGPIPE


def on_terminal(*args, stdin=None):
    """Runs the command with standard error on a pseudo-terminal; returns its exit status and what it drew."""
    master, slave = pty.openpty()
    p = subprocess.Popen([EXE, *map(str, args)], stdin=stdin, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    drawn = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the command closed its side
            break
        if not chunk:
            break
        drawn += chunk
    os.close(master)
    return p.wait(10), drawn.decode()


@pytest.mark.parametrize("command, options, files", [("split", [], "50 flows, 50 files"),
                                                     ("split", ["-t", "l7"], "50 flows, 25 files"),
                                                     ("archive", [], "50 flows, 1 file"),
                                                     # the packets a filter drops still count as read
                                                     ("split", ["--port", "1024"], "1 flow, 1 file")])
def test_progress_on_a_terminal(tmp_path, command, options, files):
    frames = [packet("10.0.0.1", "10.0.0.2", "udp", 1024 + i % 50, 53, bytes(200 * (i % 2))) for i in range(5000)]
    (tmp_path / "c.pcap").write_bytes(pcap(frames))  # 50 flows, 25 of them without payload
    out = tmp_path / ("o" if command == "split" else "c.fsieve")
    started = time.monotonic()
    status, drawn = on_terminal(command, tmp_path / "c.pcap", out, *options)
    elapsed = time.monotonic() - started
    assert status == 0
    *lines, summary = drawn.replace("\r\n", "\n").split("\r")[1:]  # the terminal ends lines with \r\n
    assert lines and len(lines) <= 10 * elapsed + 2  # redrawn in place, at most ten times a second
    for line in lines:
        assert re.fullmatch(r"[\d.]+ [kMG]?B of \d+\.\d [kM]B +\d+%  [\d.]+ [kMG]?B/s  \d+ flows  0:\d\d elapsed"
                            r"(  0:\d\d left)?\x1b\[K", line), line
    assert re.fullmatch(rf"5000 packets, {files} in \d+\.\d\d s\x1b\[K\n", summary)
    with open(tmp_path / "c.pcap", "rb") as stdin:
        status, drawn = on_terminal(command, "-", out, *options, stdin=stdin)
    assert status == 0 and " of " not in drawn and "%" not in drawn and f"5000 packets, {files}" in drawn
    assert re.search(r"\r[\d.]+ [kMG]?B  [\d.]+ [kMG]?B/s  \d+ flows  0:\d\d elapsed\x1b\[K", drawn)
    assert on_terminal(command, "-q", tmp_path / "c.pcap", out, *options) == (0, "")
    assert run(command, tmp_path / "c.pcap", out).stderr == b""  # standard error not a terminal


@pytest.fixture(scope="module")
def big_capture(tmp_path_factory):
    """A 200 MB capture, and a directory for outputs, in memory when /dev/shm is there: closing files is fast."""
    shm = Path("/dev/shm")
    root = shm / f"flowsieve_cli_test_{os.getpid()}" if os.access(shm, os.W_OK) else tmp_path_factory.mktemp("big")
    root.mkdir(exist_ok=True)
    generator = Path(__file__).resolve().parents[2] / "bench" / "gen_capture.py"
    subprocess.run([sys.executable, generator, root / "big.pcap", "--size-mb", "200", "--sessions", "20000"],
                   check=True, capture_output=True)
    yield root / "big.pcap"
    shutil.rmtree(root)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("command", ["split", "archive"])
def test_interrupt_stops_within_a_second_removing_its_temporary_files(big_capture, command, signum):
    work = big_capture.with_name(f"{command}-{signum}")
    work.mkdir()
    out = work / ("out" if command == "split" else "big.fsieve")
    p = subprocess.Popen([EXE, command, big_capture, out], stderr=subprocess.PIPE)
    while not (out.exists() or out.with_name("big.fsieve.tmp").exists()):  # the build takes a few tenths only
        time.sleep(0.005)
    time.sleep(0.05)
    p.send_signal(signum)
    sent = time.monotonic()
    status = p.wait(5)
    assert time.monotonic() - sent < 1
    assert status == 128 + signum
    assert re.fullmatch(r"flowsieve: Interrupted\nflowsieve: removed (1 temporary file|\d+ temporary files) of this run\n",
                        p.stderr.read().decode())
    assert os.listdir(out if command == "split" else work) == []


@pytest.mark.parametrize("command", ["split", "archive"])
def test_standard_input_that_is_no_capture_fails_at_once(tmp_path, command):
    with open("/dev/zero", "rb") as zero:
        result = subprocess.run([EXE, command, "-", tmp_path / "out"], stdin=zero, capture_output=True, timeout=20)
    assert (result.returncode, result.stderr) == (1, b"flowsieve: standard input: Unsupported file format (unknown magic number)\n")
    assert os.listdir(tmp_path) == []
    with open(os.devnull, "rb") as nothing, tempfile.TemporaryFile() as empty:  # an empty file says so
        for given, text in (nothing, b"Unsupported file format (unknown magic number)"), (empty, b"the capture is empty (0 bytes)"):
            result = subprocess.run([EXE, command, "-", tmp_path / "out"], stdin=given, capture_output=True, timeout=20)
            assert (result.returncode, result.stderr) == (1, b"flowsieve: standard input: " + text + b"\n")


@pytest.mark.parametrize("command", ["split", "archive"])
def test_interrupt_while_standard_input_is_still_arriving(tmp_path, command):
    out = tmp_path / ("out" if command == "split" else "a.fsieve")
    p = subprocess.Popen([EXE, command, "-", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(b"\xd4\xc3\xb2\xa1" + bytes(5 << 20))  # past the first progress check; the writer stays open
    p.stdin.flush()
    time.sleep(0.2)
    p.send_signal(signal.SIGINT)
    sent = time.monotonic()
    status = p.wait(5)
    assert (status, p.stderr.read()) == (130, b"flowsieve: Interrupted\n")
    assert time.monotonic() - sent < 1
    p.stdin.close()


CAPTURES = Path(__file__).resolve().parents[2].parent / "shared" / "captures"


@pytest.mark.skipif(not CAPTURES.is_dir() or not shutil.which("tcpdump"), reason="needs the capture corpus and tcpdump")
@pytest.mark.parametrize("name, expression", [
    ("pcapplusplus_many-protocols.pcap", "tcp port 80"), ("pcapplusplus_many-protocols.pcap", "udp and not port 53"),
    ("pcapplusplus_many-protocols.pcap", "vlan"), ("zeek_get-to-ssh-server.pcap", "tcp[tcpflags] & tcp-syn != 0"),
    ("pcapplusplus_sll.pcap", "host 10.0.0.1 or ip6"), ("pcapplusplus_raw_ip.pcap", "icmp or udp"),
    ("pcapplusplus_null_loopback.pcap", "ip6"), ("pcapplusplus_QinQ_802.1_AD.pcapng", "vlan 30"),
])
def test_filter_keeps_what_tcpdump_keeps(tmp_path, name, expression):
    from test_captures import ns_records
    source = CAPTURES / name
    dump = subprocess.run(["tcpdump", "--time-stamp-precision=nano", "-r", str(source), "-w", "-", expression],
                          capture_output=True, timeout=60, check=True)
    want = [rec[:4] for rec in ns_records(dump.stdout)]
    ok("split", source, tmp_path / "out", "-s", "nosplit", "--filter", expression, "-q")
    got = [rec[:4] for data in listing(tmp_path / "out").values() for rec in ns_records(data)]
    ok("archive", source, tmp_path / "a.fsieve", "-s", "nosplit", "--filter", expression, "-q")
    assert len(want) > 0 and got == want
    assert len(flowsieve.Archive.open(str(tmp_path / "a.fsieve"))) == 1


@pytest.mark.parametrize("expression, message", [
    ("tcp prt 80", "invalid --filter expression 'tcp prt 80': can't parse filter expression: syntax error"),
    ("ether host 1:2:3:4:5:6", "invalid --filter expression 'ether host 1:2:3:4:5:6': ethernet addresses supported only"),
])
def test_filter_expressions_libpcap_rejects_are_usage_errors(tmp_path, expression, message):
    path = tmp_path / "cap.pcap"
    path.write_bytes(pcap([packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, raw=True)], linktype=101))
    for command, out in (("split", tmp_path / "out"), ("archive", tmp_path / "a.fsieve")):
        result = run(command, path, out, "--filter", expression)
        assert (result.returncode, result.stderr.decode().startswith("flowsieve: " + message)) == (2, True), result.stderr
        assert not out.exists()


@pytest.mark.parametrize("command, out", [("split", "o"), ("archive", "a.fsieve")])
def test_a_capture_cut_off_in_its_last_record_is_read_up_to_the_cut(tmp_path, command, out):
    complete, cut = pcap(MIXED[:-1]), pcap(MIXED)[:-3]
    (tmp_path / "ref").mkdir()
    (tmp_path / "cut.pcap").write_bytes(cut)
    (tmp_path / "ref" / "cut.pcap").write_bytes(complete)
    result = run(command, "cut.pcap", out, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (0, f"flowsieve: warning: the capture is cut off: its last "
                                                              f"record, at offset {len(complete)}, is incomplete; the "
                                                              f"{len(MIXED) - 1} packets before it were read\n")
    ok(command, "cut.pcap", out, cwd=tmp_path / "ref")
    read = listing if command == "split" else Path.read_bytes
    assert read(tmp_path / out) == read(tmp_path / "ref" / out)
    with pytest.raises(RuntimeError, match="exceeds remaining data"):  # the module keeps its failure
        (flowsieve.split if command == "split" else flowsieve.create_archive)(str(tmp_path / "cut.pcap"),
                                                                             str(tmp_path / "py"))
    # A length no capture tool writes, in a record before the last, is damage.
    (tmp_path / "bad.pcap").write_bytes(cut[:32] + (1 << 30).to_bytes(4, "little") + cut[36:])
    assert run(command, "bad.pcap", "bad", cwd=tmp_path).returncode == 1


def test_warning_when_packets_lack_ip_because_their_link_type_is_not_decoded(tmp_path, cap):
    frames = [packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, raw=True)] * 3 + [MIXED[0]]  # link type 9 is PPP
    cap.write_bytes(pcap(frames, linktype=9))
    result = run("split", cap, tmp_path / "o")
    assert (result.returncode, result.stderr.decode()) == (0, "flowsieve: warning: 1 of 4 packets (25.0%) have no IP "
                                                              "layer: link type 9 is not one flowsieve decodes, so its "
                                                              "frames were read as raw IP\n")
    report = json.loads(run("archive", cap, tmp_path / "a.fsieve", "--report", "json").stdout)
    assert (report["undecoded"], report["packets_read"], len(report["warnings"])) == ({"9": 1}, 4, 1)


def test_filter_compiles_once_per_link_type_of_a_pcapng(tmp_path, cap):
    from test_captures import read_capture
    udp, tcp = (packet("10.0.0.1", "10.0.0.2", proto, 1, 2, raw=True) for proto in ("udp", "tcp"))
    frames = [(0, eth) for eth in (MIXED[2], MIXED[0])] + [(1, udp), (1, tcp)]  # interface 0 Ethernet, 1 raw IP
    cap.write_bytes(b"".join([block("<", 0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
                              block("<", 1, struct.pack("<HHI", 1, 0, 65535)), block("<", 1, struct.pack("<HHI", 101, 0, 65535)),
                              *[block("<", 6, struct.pack("<5I", i, 0, n, len(f), len(f)) + f) for n, (i, f) in enumerate(frames)]]))
    for expression, kept, warning in [("udp", [0, 2], ""),
                                      ("ether src 02:00:00:00:00:0a", [0, 1], "link type 101 (")]:
        result = run("split", cap, tmp_path / expression, "-s", "nosplit", "--filter", expression)
        got = [rec[2] for data in listing(tmp_path / expression).values() for rec in read_capture(data)[1]]
        assert (result.returncode, got) == (0, [frames[i][1] for i in kept])
        assert warning in result.stderr.decode() and ("its 2 packets were left out" in result.stderr.decode()) == bool(warning)


@pytest.mark.parametrize("write, cut", [(pcap, 5), (pcapng, 5), (pcapng, -3)], ids=["pcap header", "pcapng header", "block"])
def test_a_record_header_or_block_cut_short_ends_the_capture_with_a_warning(tmp_path, write, cut):
    complete, whole = write(MIXED[:-1]), write(MIXED)
    (tmp_path / "cap.pcap").write_bytes(whole[:len(complete) + cut] if cut > 0 else whole[:cut])
    result = run("split", "cap.pcap", "o", cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (0, f"flowsieve: warning: the capture is cut off: its last "
                                                              f"record, at offset {len(complete)}, is incomplete; the "
                                                              f"{len(MIXED) - 1} packets before it were read\n")
    flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / "py"))  # the module reads such captures quietly
    assert listing(tmp_path / "o") == listing(tmp_path / "py")
