"""Reassembled TCP streams (split -t stream, Flow.streams, export --stream) against tshark's "Follow TCP stream"."""
import ipaddress
import json
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import flowsieve
from capwriter import ACK, FIN, PSH_ACK, RST, SYN, packet, pcap

CAPTURES = Path(__file__).resolve().parents[2].parent / "shared" / "captures"
_SCRIPT = Path(sysconfig.get_path("scripts")) / "flowsieve"
EXE = str(_SCRIPT) if _SCRIPT.is_file() else shutil.which("flowsieve")
TSHARK = shutil.which("tshark")
C, S = ("10.0.0.1", 1234), ("10.0.0.2", 80)
KEY = "6_10_0_0_1_10_0_0_2_1234_80"


def seg(sender, seq, data=b"", flags=PSH_ACK):
    (src, sport), (dst, dport) = (C, S) if sender is C else (S, C)
    return packet(src, dst, "tcp", sport, dport, data, seq=seq, flags=flags)


def side(endpoint):
    """An endpoint as stream file names give it."""
    address, port = endpoint
    return re.sub(r"[.:]", "_", f"{ipaddress.ip_address(address)}_{port}")


def connections(files, stem):
    """{KEY[_N]: {sender: bytes}} from a folder's .stream files of TCP flows."""
    out = {}
    for name, data in files.items():
        match = re.fullmatch(re.escape(stem) + r"_(6_[^.]*)\.([^.]+)\.stream", name)
        if match:
            out.setdefault(match[1], {})[match[2]] = data
    return out


def tshark_follow(path, keys=None):
    """[{sender: bytes}] per TCP stream with payload, as tshark's follow,tcp,raw gives it; only the streams of
    session keys in `keys` when given. A capture damaged at the end is read up to the damage."""
    ids = subprocess.run([TSHARK, "-r", str(path), "-T", "fields", "-e", "tcp.stream"], capture_output=True,
                         text=True, timeout=300).stdout.split()
    ids = sorted({int(i) for i in ids if i.isdigit()})
    if not ids:
        return []
    out = subprocess.run([TSHARK, "-r", str(path), "-q", *[a for i in ids for a in ("-z", f"follow,tcp,raw,{i}")]],
                         capture_output=True, text=True, timeout=300).stdout
    streams = []
    for block in out.split("=" * 67)[1::2]:
        nodes, data = {}, {}
        for line in block.splitlines():
            if node := re.match(r"Node (\d): \[?(.*?)\]?:(\d+)$", line):
                nodes[int(node[1])] = (side((node[2], 0))[:-2], node[3])
            elif re.fullmatch(r"\t?[0-9a-f]+", line):
                sender = "_".join(nodes[1 if line.startswith("\t") else 0])
                data[sender] = data.get(sender, b"") + bytes.fromhex(line.strip())
        (a, p), (b, q) = nodes[0], nodes[1]
        if data and (keys is None or {f"6_{a}_{b}_{p}_{q}", f"6_{b}_{a}_{q}_{p}"} & keys):
            streams.append(data)
    return streams


def canonical(conns):
    return sorted(sorted(c.items()) for c in conns)


def stream_split(tmp_path, frames, name="cap", *options, out="out"):
    """split -t stream through the command: the files, its messages and its json report."""
    (tmp_path / f"{name}.pcap").write_bytes(pcap(frames))
    result = subprocess.run([EXE, "split", "-q", "-t", "stream", "--report", "json", tmp_path / f"{name}.pcap",
                             tmp_path / out, *options], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return {p.name: p.read_bytes() for p in (tmp_path / out).iterdir()}, result.stderr, json.loads(result.stdout)


HANDSHAKE = [seg(C, 100, flags=SYN), seg(S, 700, flags=SYN | ACK), seg(C, 101, flags=ACK)]
# Each case: the segments after the handshake; what each side sent by the rules; connections with gaps, the bytes
# missing, those sent after their sender's FIN and those in no stream; and what tshark shows where its rules differ
# (None: the same; a list: its streams). Its follow stops at a hole for good, where the stream jumps it; bytes that
# arrive in order replace those that wait past a hole, where the stream keeps the bytes seen first; and any SYN with
# another sequence number starts a stream, where an unanswered one far from the connection's bytes opens nothing.
CASES = {
    "retransmissions": ([seg(C, 101, b"GET /"), seg(C, 101, b"GET /"), seg(S, 701, b"200 "), seg(C, 106, b" x"),
                         seg(S, 701, b"200 OK"), seg(C, 104, b"T / ")],
                        {C: b"GET / x", S: b"200 OK"}, (0, 0, 0, 0), None),
    "reordering": ([seg(C, 106, b"world"), seg(C, 111, b"!"), seg(C, 101, b"hello")], {C: b"helloworld!"},
                   (0, 0, 0, 0), None),
    "overlap of delivered bytes": ([seg(C, 101, b"abc"), seg(C, 101, b"XYZd")], {C: b"abcd"}, (0, 0, 0, 0), None),
    "overlap of waiting bytes": ([seg(C, 104, b"DEF"), seg(C, 101, b"abcdXY"), seg(C, 101, b"ABCDEFG"),
                                  seg(S, 701, b"ok")], {C: b"abcDEFG", S: b"ok"}, (0, 0, 0, 0),
                                 {C: b"abcdXYG", S: b"ok"}),
    "lost segment": ([seg(C, 101, b"one "), seg(C, 110, b"three"), seg(S, 701, b"ack")],
                     {C: b"one three", S: b"ack"}, (1, 5, 0, 0), {C: b"one ", S: b"ack"}),
    "holes, the last before the FIN": ([seg(C, 101, b"one "), seg(C, 110, b"three"), seg(C, 120, b"!"),
                                        seg(C, 125, flags=FIN | ACK), seg(S, 701, b"ok")],
                                       {C: b"one three!", S: b"ok"}, (1, 14, 0, 0), {C: b"one ", S: b"ok"}),
    "keep-alive and zero-window probes": ([seg(C, 101, b"abc"), seg(C, 103, b"\0", ACK), seg(C, 104, b"", ACK),
                                           seg(C, 104, b"d"), seg(C, 104, b"de")], {C: b"abcde"}, (0, 0, 0, 0), None),
    "bytes after the FIN": ([seg(C, 101, b"GET /"), seg(C, 106, flags=FIN | ACK), seg(C, 107, b"evil"),
                             seg(S, 701, b"ok")], {C: b"GET /", S: b"ok"}, (0, 0, 4, 0), None),
    "a far SYN unanswered": ([seg(C, 101, b"GET /"), seg(C, 2**31, b"evil", SYN), seg(C, 106, b" x"),
                              seg(S, 701, b"200 OK")], {C: b"GET / x", S: b"200 OK"}, (0, 0, 0, 4),
                             [{C: b"GET /"}, {C: b"evil", S: b"200 OK"}]),
    "captured twice, first copy truncated": ([seg(C, 101, b"GET /"), seg(C, 106, flags=FIN | ACK),
                                              seg(S, 707, flags=FIN | ACK), *HANDSHAKE, seg(C, 101, b"GET /"),
                                              seg(S, 701, b"200 OK"), seg(C, 106, flags=FIN | ACK),
                                              seg(S, 707, flags=FIN | ACK)],
                                             {C: b"GET /", S: b"200 OK"}, (0, 0, 0, 0), None),
}


@pytest.mark.skipif(EXE is None or TSHARK is None, reason="needs the flowsieve command and tshark")
@pytest.mark.parametrize("wrap", [False, True], ids=["", "wrapping"])
@pytest.mark.parametrize("case", CASES)
def test_generated_streams(tmp_path, case, wrap):
    frames, want, gaps, tshark = CASES[case]
    if wrap:  # the client's sequence numbers cross 2**32 within the first bytes
        frames = [f[:38] + ((int.from_bytes(f[38:42], "big") - 103) % 2**32).to_bytes(4, "big") + f[42:]
                  if f[26:30] == bytes([10, 0, 0, 1]) else f for f in HANDSHAKE + frames]
    else:
        frames = HANDSHAKE + frames
    files, stderr, report = stream_split(tmp_path, frames)
    assert files == {f"cap_{KEY}.{side(e)}.stream": data for e, data in want.items()}
    assert (report["files"], report["connections_with_gaps"], report["bytes_missing"], report["bytes_after_fin"],
            report["bytes_in_no_stream"]) == (len(want), *gaps)
    said = f"TCP streams: {gaps[0]} connection with gaps, {gaps[1]} bytes never captured left out"
    assert (said in stderr) if gaps[0] else "gaps" not in stderr
    for count, said in zip(gaps[2:], ("sent after their sender's FIN", "outside every connection's stream")):
        assert (f"TCP streams: {count} bytes {said} left out" in stderr) == bool(count)
    tshark = tshark if isinstance(tshark, list) else [tshark or want]
    assert canonical(tshark_follow(tmp_path / "cap.pcap")) == canonical({side(e): d for e, d in c.items()}
                                                                        for c in tshark)
    # Each gap where it is: zeros in its place give the files that --stream-gaps zero writes, and Flow.streams
    # lists the same gaps by side.
    holes = [(g["file"], g["offset"], g["bytes_missing"]) for g in report["gaps"]]
    assert sum(n for _, _, n in holes) == gaps[1] and {f for f, _, _ in holes} <= set(files)
    zeroed, _, zero_report = stream_split(tmp_path, frames, "cap", "--stream-gaps", "zero", out="zero")
    filled, shift = dict(files), {}
    for name, offset, missing in holes:
        at = offset + shift.get(name, 0)
        filled[name] = filled[name][:at] + bytes(missing) + filled[name][at:]
        shift[name] = shift.get(name, 0) + missing
    assert zeroed == filled and zero_report["bytes_missing"] == gaps[1]
    streams = flowsieve.read_flows(tmp_path / "cap.pcap").flows()[0].streams(gaps=True)
    assert sorted((f"cap_{KEY}.{side(e)}.stream", o, n) for e, i in ((C, 2), (S, 3)) for o, n in streams[0][i]) == sorted(holes)
    if case == "holes, the last before the FIN":
        assert streams[0][2] == [(4, 5), (9, 5), (10, 4)]


@pytest.mark.skipif(EXE is None or TSHARK is None, reason="needs the flowsieve command and tshark")
def test_port_reuse_through_split_archive_and_export(tmp_path):
    first = [seg(C, 10, flags=SYN), seg(S, 70, flags=SYN | ACK), seg(C, 11, b"one"), seg(S, 71, b"1"),
             seg(C, 14, b"!"), seg(C, 15, flags=FIN | ACK), seg(S, 72, flags=FIN | ACK)]
    second = [seg(C, 900, flags=SYN), seg(S, 5, flags=SYN | ACK), seg(C, 901, b"two"), seg(S, 6, b"2"),
              seg(S, 7, flags=RST)]
    third = [seg(C, 5000, flags=SYN), seg(C, 5001, b"three")]
    files, _, _ = stream_split(tmp_path, first + second + third + [packet("10.0.0.1", "10.0.0.3", "udp", 5, 53, b"q")])
    want = {f"cap_{KEY}.{side(C)}.stream": b"one!", f"cap_{KEY}.{side(S)}.stream": b"1",
            f"cap_{KEY}_2.{side(C)}.stream": b"two", f"cap_{KEY}_2.{side(S)}.stream": b"2",
            f"cap_{KEY}_3.{side(C)}.stream": b"three", "cap_17_10_0_0_1_10_0_0_3_5_53.stream": b"q"}
    assert files == want
    assert len(tshark_follow(tmp_path / "cap.pcap")) == 3  # three tcp.stream numbers there too
    # One file open at a time: each side's file is closed and reopened in turn.
    flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / "one"), output_type="stream", max_sessions=1)
    assert {p.name: p.read_bytes() for p in (tmp_path / "one").iterdir()} == want

    archive = flowsieve.read_flows(str(tmp_path / "cap.pcap"))
    assert sorted(f.streams() for f in archive.flows()) == [[(b"one!", b"1"), (b"two", b"2"), (b"three", b"")],
                                                            [(b"q", b"")]]
    flowsieve.create_archive(str(tmp_path / "cap.pcap"), str(tmp_path / "cap.fsieve"))
    result = subprocess.run([EXE, "export", tmp_path / "cap.fsieve", "--stream", "-o", tmp_path / "export"],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert {p.name: p.read_bytes() for p in (tmp_path / "export").iterdir()} == want

    with pytest.raises(ValueError, match="host"):
        flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / "host"), "host", output_type="stream")


@pytest.mark.skipif(not CAPTURES.is_dir() or EXE is None or TSHARK is None,
                    reason="needs the capture corpus, the flowsieve command and tshark")
@pytest.mark.parametrize("name", sorted(p.name for p in CAPTURES.glob("*.*cap*")) if CAPTURES.is_dir() else [])
def test_public_captures_follow_as_tshark_does(tmp_path, name):
    """Over the TCP flows that flowsieve reads (the readers' coverage is tested apart): the pcap split names them."""
    stem, files = name.rsplit(".", 1)[0], {}
    for kind in ("pcap", "stream"):
        out = tmp_path / kind
        subprocess.run([EXE, "split", "-q", "-t", kind, CAPTURES / name, out], capture_output=True, timeout=300)
        files[kind] = {p.name: p.read_bytes() for p in out.iterdir()} if out.is_dir() else {}
    keys = {n[len(stem) + 1:].rsplit(".", 1)[0] for n in files["pcap"]}  # .pcap, or .pcapng for several link types
    ours = connections(files["stream"], stem)
    assert canonical(ours.values()) == canonical(tshark_follow(CAPTURES / name, keys))
