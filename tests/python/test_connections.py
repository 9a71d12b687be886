"""Flows as connections: the connection strategy's boundaries and each flow's originator, state, history and
per-side counts, against Zeek's own expected conn.log and generated cases."""
import ipaddress
import struct
from pathlib import Path

import pytest

import flowsieve
from capwriter import ACK, FIN, RST, SYN, T0, eth, ipv4, pcap, tcp, udp

ZEEK = Path(__file__).resolve().parents[2].parent / "shared" / "captures" / "zeek-conn"
TRACES = sorted(p.stem for p in ZEEK.glob("*.pcap")) if ZEEK.is_dir() else []


def zeek_rows(trace):
    fields = None
    for line in (ZEEK / f"{trace}.conn.log").read_text().splitlines():
        if line.startswith("#fields"):
            fields = line.split("\t")[1:]
        elif not line.startswith("#"):
            yield dict(zip(fields, line.split("\t")))


def originator_view(flow):
    ends = [(ipaddress.ip_address(flow.src_addr), flow.src_port), (ipaddress.ip_address(flow.dst_addr), flow.dst_port)]
    return tuple(reversed(ends)) if flow.flipped else tuple(ends)


def as_logged(flow):
    return (flow.state, flow.history or "-", flow.orig_packets, flow.orig_ip_bytes, flow.resp_packets,
            flow.resp_ip_bytes)


# Every TCP and UDP row matches, `g` of a gap at the end of tcp_miss_end_data included. ICMP rows are not compared:
# Zeek keys them by type and code and flowsieve by echo identifier (its ping runs), and it writes no ICMP history.
@pytest.mark.skipif(not TRACES, reason="zeek-conn captures absent")
@pytest.mark.parametrize("trace", TRACES)
def test_connections_match_zeek_conn_log(tmp_path, trace):
    flowsieve.create_archive(str(ZEEK / f"{trace}.pcap"), str(tmp_path / "a.fsieve"), strategy="connection")
    flows = list(flowsieve.Archive.open(str(tmp_path / "a.fsieve")).find())
    rows = [r for r in zeek_rows(trace) if r["proto"] in ("tcp", "udp")]
    assert rows
    for r in rows:
        ends = ((ipaddress.ip_address(r["id.orig_h"]), int(r["id.orig_p"])),
                (ipaddress.ip_address(r["id.resp_h"]), int(r["id.resp_p"])))
        matching = [f for f in flows if f.proto_name.lower() == r["proto"] and originator_view(f) == ends]
        expected = (r["conn_state"], r["history"], int(r["orig_pkts"]), int(r["orig_ip_bytes"]),
                    int(r["resp_pkts"]), int(r["resp_ip_bytes"]))
        assert [as_logged(f) for f in matching] == [expected], r


A, B = "10.0.0.1", "10.0.0.2"


def seg(src, dst, flags, seq, ack=0, data=b"", sport=40000, dport=80):
    return eth(ipv4(src, dst, 6, tcp(sport, dport, data, seq=seq, flags=flags, ack=ack)))


def closed_connection(isn=100, data=b""):
    """SYN, SYN-ACK, ACK[, data], FIN from A, FIN-ACK from B, last ACK."""
    end = isn + 1 + len(data)
    frames = [seg(A, B, SYN, isn), seg(B, A, SYN | ACK, 500, isn + 1, sport=80, dport=40000), seg(A, B, ACK, isn + 1, 501)]
    if data:
        frames.append(seg(A, B, ACK, isn + 1, 501, data))
    return frames + [seg(A, B, FIN | ACK, end, 501), seg(B, A, FIN | ACK, 501, end + 1, sport=80, dport=40000),
                     seg(A, B, ACK, end + 1, 502)]


def ping(ident, seq, reply=False):
    src, dst = (B, A) if reply else (A, B)
    return eth(ipv4(src, dst, 1, struct.pack("!BBHHH", 0 if reply else 8, 0, 0, ident, seq) + b"x" * 8))


def timed(frames, gaps):
    """Frames at T0 plus the running sum of the gaps (seconds) before each."""
    t, out = T0, []
    for frame, gap in zip(frames, gaps):
        t += gap
        out.append((t, 0, frame))
    return out


def zero_window(frame):
    """The frame with its TCP window (after 14 bytes of Ethernet and 20 of IPv4) zero."""
    return frame[:14 + 20 + 14] + bytes(2) + frame[14 + 20 + 16:]


REFUSED = [seg(A, B, SYN, 9000), seg(B, A, RST | ACK, 0, 9001, sport=80, dport=40000)]
RESET = closed_connection()[:3] + [seg(A, B, ACK, 101, 501, b"hello"), seg(A, B, RST, 106)]
UDP_EXCHANGE = [eth(ipv4(A, B, 17, udp(5000, 7000, b"q"))), eth(ipv4(B, A, 17, udp(7000, 5000, b"r")))]


# Each flow: (state, history, orig packets, resp packets), in order of first packet.
@pytest.mark.parametrize("frames, idle, expected", [
    pytest.param(closed_connection() + REFUSED, None, [("SF", "ShAFf", 4, 2), ("REJ", "Sr", 1, 1)], id="port-reuse"),
    pytest.param(RESET, None, [("RSTO", "ShADR", 4, 1)], id="reset-by-originator"),
    pytest.param([f for f in closed_connection(data=b"abc") for _ in range(2)], None, [("SF", "ShADTFf", 10, 4)],
                 id="duplicated-frames"),
    # A SYN far from the window of a connection still open opens the next once answered, as reassembly decides; the
    # flows have gone their way by then, so the SYN stays with the connection it came in.
    pytest.param(closed_connection()[:3] + [seg(A, B, SYN, 7_000_000), seg(B, A, SYN | ACK, 900, 7_000_001, sport=80,
                                                                              dport=40000)],
                 None, [("S1", "ShAS", 3, 1), ("OTH", "^h", 0, 1)], id="far-syn-answered"),
    # Zero windows are written at the 1st, 10th, 100th, ... as retransmissions and gaps are.
    pytest.param(closed_connection()[:3] + [zero_window(seg(B, A, ACK, 501, 101, sport=80, dport=40000))] * 10 +
                 closed_connection()[3:], None, [("SF", "ShAawwFf", 4, 12)], id="zero-windows"),
    pytest.param(timed(UDP_EXCHANGE + UDP_EXCHANGE[:1], [0, 1, 61]), None, [("SF", "Dd", 1, 1), ("S0", "D", 1, 0)],
                 id="udp-idle-timeout"),
    pytest.param(timed(UDP_EXCHANGE + UDP_EXCHANGE[:1], [0, 1, 61]), {"udp": 120}, [("SF", "Dd", 2, 1)],
                 id="udp-idle-timeout-raised"),
    pytest.param(timed(closed_connection()[:3] + [seg(A, B, ACK, 101, 501, b"later")], [0, 0, 0, 301]), None,
                 [("S1", "ShA", 2, 1), ("OTH", "D", 1, 0)], id="tcp-idle-timeout"),
    pytest.param([ping(1, 1), ping(1, 1, True), ping(1, 2), ping(1, 2, True), ping(2, 1), ping(2, 1, True)], None,
                 [("OTH", "", 2, 2), ("OTH", "", 1, 1)], id="ping-runs"),
])
def test_connection_boundaries(tmp_path, frames, idle, expected):
    (tmp_path / "in.pcap").write_bytes(pcap(frames))
    flowsieve.create_archive(str(tmp_path / "in.pcap"), str(tmp_path / "a.fsieve"), strategy="connection",
                             idle_timeouts=idle)
    flows = sorted(flowsieve.Archive.open(str(tmp_path / "a.fsieve")).find(), key=lambda f: f.id)
    assert [(f.state, f.history, f.orig_packets, f.resp_packets) for f in flows] == expected
    # Later connections on a key get files of their own, numbered as stream files are.
    flowsieve.split(str(tmp_path / "in.pcap"), str(tmp_path / "out"), strategy="connection", idle_timeouts=idle)
    names = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert len(names) == len(expected)
    assert sum(n.endswith(("_2.pcap")) for n in names) == (len(expected) > 1)


def flowsieve_command(*args):
    import shutil
    import subprocess
    return subprocess.run([shutil.which("flowsieve"), *map(str, args)], capture_output=True, text=True, timeout=60,
                          check=True).stdout


# One capture, each surface: the command's table, csv, json, --state and zeek formats, Archive.find, Store.find and
# the arrays (of the archive, of the capture, and the command's .npz); and an archive written before connections.
@pytest.mark.parametrize("surface", ["table", "csv", "json", "state", "zeek", "archive", "store", "arrays", "older"])
def test_connection_fields_on_every_surface(tmp_path, surface):
    (tmp_path / "in.pcap").write_bytes(pcap(closed_connection() + REFUSED))
    archive = tmp_path / "c.fsieve"
    flowsieve_command("archive", "-q", "-s", "connection", "--idle-timeout", "tcp=600", tmp_path / "in.pcap", archive)
    if surface == "table":
        head, sf, rej = flowsieve_command("flows", archive).splitlines()[:3]
        assert head.split()[-1] == "STATE" and sf.split()[-1] == "SF" and rej.split()[-1] == "REJ"
    elif surface in ("csv", "json"):
        text = flowsieve_command("flows", archive, "-f", surface)
        import csv
        import json
        rows = list(csv.DictReader(text.splitlines())) if surface == "csv" else [json.loads(l) for l in text.splitlines()]
        assert [(r["state"], r["history"], str(r["orig_packets"]), str(r["resp_ip_bytes"]), str(r["flipped"]).lower())
                for r in rows] == [("SF", "ShAFf", "4", "80", "false"), ("REJ", "Sr", "1", "40", "false")]
    elif surface == "state":
        assert len(flowsieve_command("flows", archive, "--state", "rej", "-f", "csv").splitlines()) == 2
    elif surface == "zeek":
        lines = flowsieve_command("flows", archive, "-f", "zeek").splitlines()
        fields = lines[5].split("\t")[1:]
        rows = [dict(zip(fields, l.split("\t"))) for l in lines if not l.startswith("#")]
        assert [(r["id.orig_h"], r["id.resp_p"], r["proto"], r["conn_state"], r["history"], r["orig_pkts"],
                 r["orig_ip_bytes"], r["uid"][0]) for r in rows] == [
            (A, "80", "tcp", "SF", "ShAFf", "4", "160", "C"), (A, "80", "tcp", "REJ", "Sr", "1", "40", "C")]
        assert len({r["uid"] for r in rows}) == 2 and lines == flowsieve_command("flows", archive, "-f", "zeek").splitlines()
    elif surface == "archive":
        assert [f.history for f in flowsieve.Archive.open(str(archive)).find(state="SF")] == ["ShAFf"]
    elif surface == "older":  # its flows have no connection facts, and it reads as before
        from test_archive import without_flow_fields
        archive.write_bytes(without_flow_fields(archive.read_bytes()))
        flows = flowsieve.Archive.open(str(archive)).find()
        assert {(f.state, f.history, f.orig_packets, f.flipped) for f in flows} == {(None, None, None, None)}
        import json
        row = json.loads(flowsieve_command("flows", archive, "-f", "json").splitlines()[0])
        assert [row[k] for k in ("orig_packets", "flipped", "state", "history")] == [None] * 4
        assert flowsieve_command("flows", archive).splitlines()[0].split()[-1] == "DURATION"
    elif surface == "store":
        assert [f.state for f in flowsieve.Store(archive).find(state=["REJ", "S0"])] == ["REJ"]
    else:
        np = pytest.importorskip("numpy")
        flowsieve_command("arrays", tmp_path / "in.pcap", "-s", "connection", "-o", tmp_path / "a.npz")
        with np.load(tmp_path / "a.npz") as npz:
            arrays = [flowsieve.flow_arrays(flowsieve.Archive.open(str(archive))),
                      flowsieve.flow_arrays(str(tmp_path / "in.pcap"), "connection", idle_timeouts={"tcp": 600}),
                      {name: npz[name] for name in npz.files}]
            for a in arrays:
                a = a if isinstance(a, dict) else {n: getattr(a, n) for n in ("state", "history", "orig_packets",
                                                                              "resp_ip_bytes", "flipped", "key")}
                assert [(str(s), str(h), int(o), int(r), bool(f)) for s, h, o, r, f in zip(
                    a["state"], a["history"], a["orig_packets"], a["resp_ip_bytes"], a["flipped"])] == [
                    ("SF", "ShAFf", 4, 80, False), ("REJ", "Sr", 1, 40, False)]
            assert [str(k).endswith("_2") for k in npz["key"]] == [False, True]  # as split names the second
