"""Many archives as one flow store: Community IDs, queries across archives, the merged export."""
import csv
import io
import ipaddress
import json
import struct

import pytest

import flowsieve
import test_captures as tc
from capwriter import T0, packet, pcap
from test_cli import ok, run

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
    table = answers(store, "flows", store).decode().splitlines()
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
    merged = tc.read_capture(result.stdout)[1]
    assert sorted(merged) == sorted(tc.read_capture(one)[1] + [(T0, 5, raw, len(raw), 101)])
