"""Many archives as one flow store: Community IDs, queries across archives, the merged export."""
import csv
import datetime
import io
import ipaddress
import json
import os
import struct
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

import flowsieve
import test_captures as tc
from capwriter import T0, packet, pcap, written
from test_cli import EXE, ok, run

communityid = pytest.importorskip("communityid")
needs_corpus = pytest.mark.skipif(not tc.CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
ZERO = ":".join(["0000"] * 8)


def transport_header(frame, flow):
    """The bytes from the transport header of the flow's first packet on: its IP header is found by the
    flow's addresses wherever the link layer put it."""
    src, dst = ipaddress.ip_address(flow.src_addr).packed, ipaddress.ip_address(flow.dst_addr).packed
    at = 12 if len(src) == 4 else 8
    i = frame.find(src + dst)
    while i >= at:
        h = i - at
        if len(src) == 4 and frame[h] >> 4 == 4 and frame[h + 9] == flow.proto:
            return frame[h + (frame[h] & 15) * 4:]
        if len(src) == 16 and frame[h] >> 4 == 6:
            proto, offset = frame[h + 6], h + 40
            while proto in (0, 43, 44, 51, 60):
                size = 8 if proto == 44 else (frame[offset + 1] + 2) * 4 if proto == 51 else (frame[offset + 1] + 1) * 8
                proto, offset = frame[offset], offset + size
            if proto == flow.proto:
                return frame[offset:]
        i = frame.find(src + dst, i + 1)
    raise AssertionError(f"no IP header of {flow} in its first packet")


def expected_community_id(flow):
    if flow.src_addr == flow.dst_addr == ZERO:
        return None
    ports = (flow.src_port, flow.dst_port)
    if flow.proto in (1, 58, 132):  # ICMP and ICMPv6 type and code, SCTP ports
        head = transport_header(flow.packets()[0].data, flow)
        ports = struct.unpack_from("!HH", head) if flow.proto == 132 else (head[0], head[1])
    ports = ports if flow.proto in (1, 6, 17, 58, 132) else ()
    return communityid.CommunityID().calc(communityid.FlowTuple(flow.proto, flow.src_addr, flow.dst_addr, *ports))


@needs_corpus
@pytest.mark.parametrize("name", tc.NAMES)
def test_community_id_agrees_with_the_reference(name):
    try:
        archive = flowsieve.read_flows(str(tc.CAPTURES / name))
    except RuntimeError:
        pytest.skip("the capture is malformed")
    for flow in archive.flows():
        assert flow.community_id == expected_community_id(flow), flow


# --- The command over a folder of archives ------------------------------------------------------------------------

TCP = ("10.0.0.1", "10.0.0.2", "tcp", 1234, 80)
ECHO = packet("10.0.0.1", "10.0.0.9", "icmp")
CAPTURES = {  # archive name -> records (seconds after T0, microseconds, frame)
    "a": [(0, 0, packet(*TCP, b"a1")), (1, 0, packet("10.0.0.1", "10.0.0.3", "udp", 5000, 53)),
          (2, 0, packet("10.0.0.2", "10.0.0.1", "tcp", 80, 1234, b"a2")), (5, 0, packet("10.0.0.3", "10.0.0.1", "udp", 53, 5000))],
    "b": [(2, 0, packet(*TCP, b"b1")), (2, 0, packet("10.0.0.2", "10.0.0.1", "tcp", 80, 1234, b"b2")),
          (10, 0, ECHO[:34] + b"\x08\x00" + ECHO[36:])],  # an echo request
    "c": [(100, 0, packet("10.0.0.4", "10.0.0.5", "udp", 7, 7))],
}


@pytest.fixture
def store(tmp_path):
    folder = tmp_path / "store"
    folder.mkdir()
    for name, recs in CAPTURES.items():
        (tmp_path / f"{name}.pcap").write_bytes(pcap([(T0 + s, us, frame) for s, us, frame in recs]))
        flowsieve.create_archive(str(tmp_path / f"{name}.pcap"), str(folder / f"{name}.fsieve"))
    (folder / "broken.fsieve").write_bytes(b"\0" * 200)
    (folder / "notes.txt").write_text("not an archive")
    return folder


def flows_of(folder):
    """(archive name, Flow) of every readable archive of the folder, in name order."""
    return [(p.name, f) for p in sorted(folder.glob("*.fsieve")) if p.name != "broken.fsieve"
            for f in flowsieve.Archive.open(str(p)).flows()]


def answers(folder, *args):
    result = run(*args)
    assert result.returncode == 0, result.stderr
    assert result.stderr.decode() == f"flowsieve: warning: skipped {folder}/broken.fsieve: Invalid archive footer\n"
    return result.stdout


def test_merged_export_orders_by_time_then_archive_flow_and_packet(store):
    merged = answers(store, "export", store, "--merge", "-o", "-")
    want = sorted(((p.ts_sec * 10**6 + p.ts_usec, a, f.id, i), p.data) for a, f in flows_of(store)
                  for i, p in enumerate(f.packets()))
    frames, pos = [], 24
    while pos < len(merged):
        length = struct.unpack_from("<I", merged, pos + 8)[0]
        frames.append(merged[pos + 16:pos + 16 + length])
        pos += 16 + length
    assert merged[:24] == flowsieve.pipe_archive(str(store / "a.fsieve"))[0][:24]
    assert frames == [data for _, data in want]


def overlaps(f, since=None, until=None):
    first, last = min(f.start_ts, f.end_ts), max(f.start_ts, f.end_ts)
    return (since is None or last >= since) and (until is None or first <= until)


def same_connection(f, proto, a, a_port, b, b_port):
    ends = {(f.src_addr, f.src_port), (f.dst_addr, f.dst_port)}
    return f.proto == proto and ends == {(a, a_port), (b, b_port)}


@pytest.mark.parametrize("args, wanted", [
    (["--ip", "10.0.0.1", "--port", "80"], lambda f: f.proto == 6),
    (["--ip", "10.0.0.1", "--ip", "10.0.0.3", "--proto", "UDP"], lambda f: f.dst_addr == "10.0.0.3"),
    (["--flow", "tcp 10.0.0.2 80 10.0.0.1 1234"], lambda f: same_connection(f, 6, "10.0.0.1", 1234, "10.0.0.2", 80)),
    (["--flow", "6 10.0.0.2 80 10.0.0.1 1234", "--until", str(T0 + 1)], lambda f: f.proto == 6 and overlaps(f, None, T0 + 1)),
    (["--since", str(T0 + 3), "--until", "2020-09-13T14:26:40+02:00"], lambda f: overlaps(f, T0 + 3, T0)),
    (["--since", "2020-09-13 12:26:43Z", "--ip", "10.0.0.1"], lambda f: overlaps(f, T0 + 3) and "10.0.0.1" in (f.src_addr, f.dst_addr)),
    (["--until", "2020-09-13T12:26:39.999999"], lambda f: False),
    (["--community-id", "{echo}"], lambda f: f.proto == 1),
    (["--port", "7", "--proto", "tcp"], lambda f: False),
])
def test_queries_combine_across_archives(store, args, wanted):
    assert T0 == 1600000000  # the ISO times above name it
    echo = [f for _, f in flows_of(store) if f.proto == 1][0].community_id
    rows = [json.loads(line) for line in answers(store, "flows", store, *[a.format(echo=echo) for a in args],
                                                 "-f", "json").splitlines()]
    assert [(r["archive"], r["id"]) for r in rows] == [(a, f.id) for a, f in flows_of(store) if wanted(f)]


def test_listing_names_archives_and_community_ids(store):
    rows = list(csv.DictReader(io.StringIO(answers(store, "flows", store, "--format", "csv").decode())))
    assert list(rows[0])[:2] == ["archive", "id"]
    assert [(r["archive"], r["id"], r["community_id"]) for r in rows] == [
        (a, str(f.id), f.community_id) for a, f in flows_of(store)]
    one = ok("flows", store / "c.fsieve", "-f", "csv").decode().splitlines()
    assert one[0].startswith("id,") and one[1].endswith("," + flows_of(store)[-1][1].community_id)
    table = answers(store, "flows", store, "--long").decode().splitlines()
    assert table[0].split()[:2] == ["ARCHIVE", "ID"] and table[-1].startswith("5 flows, 8 packets, ")
    assert [line.split()[-1] for line in table[1:-1]] == [f.community_id for _, f in flows_of(store)]


def test_output_is_a_file_for_one_flow_or_a_merge_and_a_folder_otherwise(store, tmp_path):
    a = store / "a.fsieve"
    pipes = flowsieve.pipe_archive(str(a))
    ok("export", a, "2", "-o", tmp_path / "one.pcap")
    assert (tmp_path / "one.pcap").read_bytes() == pipes[1]
    ok("export", a, "--flow", "udp 10.0.0.3 53 10.0.0.1 5000", "--merge", "-o", tmp_path / "merged.pcap")
    assert (tmp_path / "merged.pcap").read_bytes() == pipes[1]
    ok("export", a, "1", "2", "-o", tmp_path / "two.pcap")
    assert sorted(p.read_bytes() for p in (tmp_path / "two.pcap").iterdir()) == sorted(pipes)
    (tmp_path / "twin").mkdir()  # an archive of the same name elsewhere: no file replaces another
    (tmp_path / "twin" / "a.fsieve").write_bytes(a.read_bytes())
    ok("export", a, tmp_path / "twin" / "a.fsieve", "-o", tmp_path / "both")
    assert sorted(p.read_bytes() for p in (tmp_path / "both").iterdir()) == sorted(pipes * 2)


def test_merge_of_several_link_types_is_pcapng(store, tmp_path):
    raw = packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, raw=True)
    (tmp_path / "raw.pcap").write_bytes(pcap([(T0, 5, raw)], linktype=101))
    flowsieve.create_archive(str(tmp_path / "raw.pcap"), str(tmp_path / "raw.fsieve"))
    one = run("export", store / "a.fsieve", "--merge", "-o", "-").stdout
    result = run("export", store / "a.fsieve", tmp_path / "raw.fsieve", "--merge", "-o", "-")
    assert result.returncode == 0 and result.stdout[:4] == b"\n\r\r\n"
    assert result.stderr == NOTE.format("1 and 101").encode()
    merged = tc.read_capture(result.stdout)[1]
    assert sorted(merged) == sorted(tc.read_capture(one)[1] + [(T0, 5, raw, len(raw), 101)])
    both = flowsieve.Store(store / "a.fsieve", tmp_path / "raw.fsieve")
    assert both.export(both.find()) == result.stdout
    for link, want in [(101, pcap([(T0, 5, raw)], linktype=101)), (1, one), (113, pcap([]))]:  # one link type: a pcap
        assert ok("export", store / "a.fsieve", tmp_path / "raw.fsieve", "--merge", "-o", "-", "--link-type", link) \
            == want[:20] + struct.pack("<I", link) + want[24:]


NOTE = ("flowsieve: note: frames of link types {} are written as pcapng, an interface per link type, which tshark "
        "reads but libpcap up to 1.10 (tcpdump) does not; --link-type N writes those of one as pcap\n")


PEAK = """import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss << 10)"""
FLOWS = 60_000  # a table of 5.8 MB


@pytest.fixture(scope="module")
def copies(tmp_path_factory):
    """Folders of one and of eight copies (links) of an archive of FLOWS flows, one on each port from 1000 up."""
    top = tmp_path_factory.mktemp("copies")
    (top / "x.pcap").write_bytes(pcap([(T0, i, packet(f"10.0.{i >> 8}.{i & 255}", "10.1.0.1", "udp", 1000 + i, 53))
                                       for i in range(FLOWS)]))
    flowsieve.create_archive(str(top / "x.pcap"), str(top / "x.fsieve"))
    for n in (1, 8):
        (top / str(n)).mkdir()
        for i in range(n):
            os.link(top / "x.fsieve", top / str(n) / f"{i}.fsieve")
    return [top / "1", top / "8"]


@pytest.mark.parametrize("command", [["flows"], ["export", "-o", "out"], ["export", "--merge", "-o", "-"]])
def test_a_query_over_many_archives_holds_one_flow_table_at_a_time(copies, tmp_path, command):
    """Each archive's table, held twice (decoded and mapped), goes once the archive has answered: over eight copies
    of an archive the peak memory grows by less than one table over that of one copy."""
    peaks = []
    for folder in copies:
        args = [tmp_path / folder.name if a == "out" else a for a in command[1:]]
        child = subprocess.run([sys.executable, "-c", PEAK, EXE, command[0], folder, "--port", "1000", *args],
                               capture_output=True, timeout=60, check=True)
        peaks.append(int(child.stdout))
    assert peaks[1] - peaks[0] < FLOWS * 96, peaks


# --- The store from Python ------------------------------------------------------------------------------------------

UTC = datetime.timezone.utc


def store_flows(store, **query):
    with pytest.warns(RuntimeWarning, match="skipped .*broken.fsieve: Invalid archive footer"):
        return store.find(**query)


# The command's options and the same question as find's arguments, in their several forms.
@pytest.mark.parametrize("args, query", [
    ([], {}),
    (["--ip", "10.0.0.1", "--port", "80"], dict(ip="10.0.0.1", port=80)),
    (["--ip", "10.0.0.1", "--ip", "10.0.0.3", "--proto", "UDP"], dict(ip=["10.0.0.1", "10.0.0.3"], proto="udp")),
    (["--proto", "tcp", "--proto", "17"], dict(proto=("tcp", 17))),
    (["--ip", "10.0.0.2", "--ip", "10.0.0.3"], dict(ip=("10.0.0.2", "10.0.0.3"))),  # any of them
    (["--between", "10.0.0.1", "--between", "10.0.0.3"], dict(between=["10.0.0.1", "10.0.0.3"])),  # all of them
    (["--between-port", "1234", "--port", "53", "--port", "80"], dict(between_port=1234, port=[53, 80])),
    (["--flow", "tcp 10.0.0.2 80 10.0.0.1 1234"], dict(flow=("tcp", "10.0.0.2", 80, "10.0.0.1", 1234))),
    (["--flow", "6 10.0.0.2 80 10.0.0.1 1234", "--until", str(T0 + 1)],
     dict(flow="6 10.0.0.2 80 10.0.0.1 1234", until=(T0 + 1) * 10**9)),
    (["--since", str(T0 + 3), "--until", "2020-09-13T14:26:40+02:00"],
     dict(since=float(T0 + 3), until=datetime.datetime(2020, 9, 13, 14, 26, 40,
                                                       tzinfo=datetime.timezone(datetime.timedelta(hours=2))))),
    (["--since", "2020-09-13 12:26:43Z", "--ip", "10.0.0.1"],
     dict(since=datetime.datetime(2020, 9, 13, 12, 26, 43), ip=["10.0.0.1"])),
    (["--until", "2020-09-13T12:26:39.999999"], dict(until="2020-09-13T12:26:39.999999")),
    (["--since", "1600000001.000000001"], dict(since=T0 + 1.000000001)),  # a nanosecond after flow a/2 ends
    (["--community-id", "{echo}"], dict(community_id="{echo}")),
    (["--port", "7", "--proto", "tcp"], dict(port=[7], proto="TCP")),
])
def test_queries_answer_alike_from_the_command_the_store_and_each_archive(store, args, query):
    echo = [f for _, f in flows_of(store) if f.proto == 1][0].community_id
    args = [a.format(echo=echo) for a in args]
    query = {k: v.format(echo=echo) if isinstance(v, str) else v for k, v in query.items()}
    rows = list(csv.DictReader(io.StringIO(answers(store, "flows", store, *args, "-f", "csv").decode())))
    wanted = [(r["archive"], int(r["id"])) for r in rows]
    found = store_flows(flowsieve.Store(store), **query)
    assert [(Path(f.archive_path).name, f.id) for f in found] == wanted
    per_archive = [(p.name, f.id) for p in sorted(store.glob("?.fsieve")) for f in flowsieve.Archive.open(p).find(**query)]
    assert per_archive == wanted
    with flowsieve.Store(store) as s:
        merged = answers(store, "export", store, *args, "--merge", "-o", "-")
        assert s.export(found) == merged
        assert s.export(found + found[:1], store.parent / "merged.pcap") is None  # each flow once
        assert (store.parent / "merged.pcap").read_bytes() == merged


@pytest.mark.parametrize("query, error, message", [
    (dict(ip="10.0.0.256"), ValueError, "argument 'ip': invalid value '10.0.0.256': not an IPv4 or IPv6 address"),
    (dict(ip=["10.0.0.1", 5]), TypeError, "argument 'ip': expected an address (str), not int"),
    (dict(port=65536), ValueError, "argument 'port': invalid value '65536': not a port number (0 to 65535)"),
    (dict(port="80"), TypeError, "argument 'port': expected a port number (int), not str"),
    (dict(proto="sctp"), ValueError, "argument 'proto': invalid value 'sctp': protocol tcp, udp, icmp, icmpv6 or a number"),
    (dict(proto=256), ValueError, "argument 'proto': invalid value '256': not a protocol number (0 to 255)"),
    (dict(since="2020-02-30"), ValueError, "argument 'since': invalid value '2020-02-30': seconds since the epoch"),
    (dict(until=-1), ValueError, "argument 'until': invalid value '-1': not nanoseconds since the epoch"),
    (dict(until=float("nan")), ValueError, "argument 'until': invalid value 'nan'"),
    (dict(since=datetime.datetime(1969, 12, 31, 23, 0, tzinfo=UTC)), ValueError, "argument 'since': invalid value"),
    (dict(since=b"1"), TypeError, "argument 'since': expected float (seconds), int (nanoseconds), str or datetime"),
    (dict(since=True), TypeError, "argument 'since': expected float (seconds), int (nanoseconds), str or datetime, not bool"),
    (dict(since=T0), ValueError, f"argument 'since': invalid value '{T0}': an int this small is seconds, not "
                                 "nanoseconds: pass a float of seconds or an int of nanoseconds"),
    (dict(flow="tcp 10.0.0.1 80 10.0.0.2"), ValueError, "argument 'flow': invalid value 'tcp 10.0.0.1 80 10.0.0.2': "
                                                        "give PROTO ADDR PORT ADDR PORT"),
    (dict(flow=("tcp", "10.0.0.1", 80, "10.0.0.2")), ValueError, "argument 'flow': give (proto, addr, port, addr, port)"),
    (dict(flow=("tcp", "10.0.0.1", 80, "10.0.0.x", 1)), ValueError, "argument 'flow': invalid value '10.0.0.x'"),
    (dict(community_id="1:LzRJKgjvUJlC/VQLtISlfACcEzB="), ValueError, "argument 'community_id': invalid value "
                                                                     "'1:LzRJKgjvUJlC/VQLtISlfACcEzB=': 1: and the base64"),
    (dict(between=["10.0.0.1", "x"]), ValueError, "argument 'between': invalid value 'x': not an IPv4 or IPv6 address"),
    (dict(between_port=[80, -1]), ValueError, "argument 'between_port': invalid value '-1': not a port number"),
    (dict(host="10.0.0.1"), TypeError, "got an unexpected keyword argument 'host'"),
])
def test_find_names_the_argument_it_cannot_take(store, query, error, message):
    archive = flowsieve.Archive.open(store / "a.fsieve")
    for find in (archive.find, flowsieve.Store(store).find):
        with pytest.raises(error) as e:
            find(**query)
        assert message in str(e.value)


# A list of values that came out empty is a condition of none of them, alone or beside others.
@pytest.mark.parametrize("query", [dict(ip=[]), dict(port=()), dict(proto=[], ip="10.0.0.1"), dict(between=[]),
                                   dict(between_port=[], since=float(T0))])
def test_an_empty_list_matches_no_flow(store, query):
    assert flowsieve.Archive.open(store / "a.fsieve").find(**query) == []
    assert store_flows(flowsieve.Store(store), **query) == []


def test_a_damaged_archive_of_a_folder_is_skipped_once_and_one_named_raises(store, tmp_path):
    s = flowsieve.Store(store, store / "c.fsieve")
    assert [Path(p).name for p in s.archives] == ["a.fsieve", "b.fsieve", "broken.fsieve", "c.fsieve", "c.fsieve"]
    assert len(store_flows(s, proto="udp")) == 3
    assert s.skipped == [(f"{store}/broken.fsieve", "Invalid archive footer")]
    assert "broken.fsieve" not in "".join(s.archives)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(s.find(proto="udp")) == 3  # passed over without a word
    with pytest.raises(OSError, match="Invalid archive footer"):
        flowsieve.Store(store / "broken.fsieve").find()
    (tmp_path / "damaged").mkdir()
    (tmp_path / "damaged" / "broken.fsieve").write_bytes(bytes(200))
    with pytest.warns(RuntimeWarning), pytest.raises(RuntimeError, match="^no archive could be read$"):
        flowsieve.Store(tmp_path / "damaged").find()
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / "notes.txt").write_text("no archive here")
    with pytest.raises(FileNotFoundError, match=f"^no archives in {tmp_path}/empty$"):
        flowsieve.Store(store, tmp_path / "empty")
    result = run("flows", store, tmp_path / "empty")
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", f"flowsieve: no archives in {tmp_path}/empty\n".encode())


def offsets_past_the_end(store, tmp_path):
    content = bytearray((store / "a.fsieve").read_bytes())  # the first flow's offset list past the file's end
    struct.pack_into("<I", content, struct.unpack_from("<Q", content, len(content) - 80)[0] + 64, 2**32 - 1)
    return content


def unlisted_link_type(store, tmp_path):
    """An archive of Ethernet and Linux cooked frames whose first record says raw IP, a link type it does not list."""
    sll = b"\0\0\0\1\0\6" + bytes(8) + b"\x08\x00" + packet("10.0.0.7", "10.0.0.8", "udp", 9, 9, raw=True)
    eth = packet("10.0.0.5", "10.0.0.6", "udp", 8, 8)
    (tmp_path / "two.pcapng").write_bytes(written([(T0, 0, eth, len(eth), 1), (T0, 1, sll, len(sll), 113)],
                                                  links=(1, 113)))
    flowsieve.create_archive(str(tmp_path / "two.pcapng"), str(tmp_path / "two.fsieve"))
    content = bytearray((tmp_path / "two.fsieve").read_bytes())
    struct.pack_into("<I", content, 72, 101)  # the first record's own link type, after the list of two
    return content


@pytest.mark.parametrize("damage, message", [
    (offsets_past_the_end, "Offset list extends beyond file"),
    (unlisted_link_type, "Damaged archive: a packet record of link type 101, which the archive does not list"),
])
def test_damage_that_shows_at_export_skips_an_archive_of_a_folder_as_the_command_does(store, tmp_path, damage, message):
    (store / "bad.fsieve").write_bytes(damage(store, tmp_path))
    s = flowsieve.Store(store)
    found = store_flows(s)
    with pytest.warns(RuntimeWarning, match=f"skipped .*/bad.fsieve: {message}"):
        assert s.export(found) == run("export", store, "--merge", "-o", "-").stdout
    assert [Path(p).name for p, _ in s.skipped] == ["broken.fsieve", "bad.fsieve"]
    named = flowsieve.Store(store / "bad.fsieve")
    with pytest.raises(RuntimeError, match=message):
        named.export(named.find())
    for args in (["export", store / "bad.fsieve", "-o", tmp_path / "out"], ["arrays", store / "bad.fsieve", "-o", "x"]):
        result = run(*args, cwd=tmp_path)
        assert (result.returncode, result.stderr.decode()) == (1, f"flowsieve: {store}/bad.fsieve: {message}\n")
    assert not list(tmp_path.glob("out")) + list(tmp_path.glob("x*"))
    with pytest.raises(RuntimeError, match=message):
        flowsieve.pipe_archive(str(store / "bad.fsieve"))


def test_flows_outlive_the_closed_archive_and_store(store, tmp_path):
    with flowsieve.Archive.open(store / "a.fsieve") as archive:
        flow = archive.find(proto="tcp")[0]
    with flowsieve.Store(store) as s:
        flows = store_flows(s, ip="10.0.0.1")
    temporary = flowsieve.read_flows(tmp_path / "a.pcap")
    read = temporary.flows()[0]
    temporary.close()
    temporary.close()
    assert not list(Path("/tmp").glob(f"flowsieve_py_{os.getpid()}.fsieve"))  # deleted on close
    for closed in (lambda: archive.find(), lambda: len(archive), lambda: archive.flow_count, lambda: s.find(),
                   lambda: s.export(flows), lambda: flowsieve.flow_arrays(archive)):
        with pytest.raises(ValueError, match="is closed"):
            closed()
    assert (repr(archive), repr(s)) == ("Archive(closed)", "Store(closed)")
    assert [p.data for p in flow.packets()] == [p.data for p in read.packets()]
    assert (flow.archive_path, flow.community_id) == (str(store / "a.fsieve"), read.community_id)
    assert flowsieve.Store(store / "a.fsieve").export(flows[:2]) == ok("export", store / "a.fsieve", "--ip", "10.0.0.1",
                                                                       "--merge", "-o", "-")
    for f in flows:  # read through the file alone: the store let go of each archive's table as it answered
        same = flowsieve.Archive.open(f.archive_path).get_flow(f.id)
        assert ([p.data for p in f.packets()], f.streams(), f.community_id, repr(f)) == (
            [p.data for p in same.packets()], same.streams(), same.community_id, repr(same))
