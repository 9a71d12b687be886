"""IP fragments stay with their datagram's flow, in split files, payload files and archives alike."""
import json
import shutil
import subprocess
from pathlib import Path

import pytest

import flowsieve
from capwriter import packet, pcap, records, udp_fragments
from test_captures import CAPTURES, read_capture
from test_cli import EXE

V4, V4_PIECES = udp_fragments("10.0.0.1", "10.0.0.2", 1000, 53, bytes(range(40)))
V6, V6_PIECES = udp_fragments("2001:db8::1", "2001:db8::2", 5000, 443, bytes(range(100, 150)))
OTHER = packet("10.0.0.1", "10.0.0.2", "udp", 1001, 53, b"other")
A, B, C = "17_10_0_0_1_10_0_0_2_1000_53", "17_10_0_0_1_10_0_0_2_1001_53", "17_2001_db8__1_2001_db8__2_5000_443"
NFS = "pcapplusplus_ip4_fragments.pcap"


def public(name):
    return [frame for _, _, frame, _, _ in read_capture((CAPTURES / name).read_bytes())[1]] if CAPTURES.is_dir() else []


# frames, their payload pieces (None: not checked), key -> (ports, indices into frames), later fragments (matched, not)
@pytest.mark.parametrize("frames, pieces, flows, counts", [
    ([V4[0], OTHER, V4[1], V4[2]], [V4_PIECES[0], b"other", *V4_PIECES[1:]], {A: ((1000, 53), [0, 2, 3]), B: ((1001, 53), [1])},
     (2, 0)),
    ([V4[2], OTHER, V4[1], V4[0]], [V4_PIECES[2], b"other", V4_PIECES[1], V4_PIECES[0]],
     {A: ((1000, 53), [0, 2, 3]), B: ((1001, 53), [1])}, (2, 0)),
    ([V6[1], V4[1], V6[0], V4[0], *V6[2:], V4[2]], [V6_PIECES[1], V4_PIECES[1], V6_PIECES[0], V4_PIECES[0],
     *V6_PIECES[2:], V4_PIECES[2]], {C: ((5000, 443), [0, 2, 4, 5]), A: ((1000, 53), [1, 3, 6])}, (5, 0)),
    ([V4[1], V4[2]], V4_PIECES[1:], {"17_10_0_0_1_10_0_0_2_0_0": ((0, 0), [0, 1])}, (0, 2)),
    pytest.param(public(NFS), None, {"17_10_118_213_211_10_118_213_212_2049_789": ((789, 2049), list(range(53)))},
                 (41, 0), marks=pytest.mark.skipif(not CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")),
], ids=["IPv4 in order", "IPv4 last first", "IPv6 and IPv4 interleaved", "lone later fragments", NFS])
def test_fragments_join_their_datagrams_flow(tmp_path, frames, pieces, flows, counts):
    source, recs = tmp_path / "in.pcap", records(frames)
    source.write_bytes(pcap(recs))
    flowsieve.split(str(source), str(tmp_path / "pcap"))
    assert {p.name: p.read_bytes() for p in (tmp_path / "pcap").iterdir()} == {
        f"in_{key}.pcap": pcap([recs[i] for i in indices]) for key, (_, indices) in flows.items()}
    if pieces is not None:  # each datagram's payload once, in the order its fragments came
        flowsieve.split(str(source), str(tmp_path / "l7"), output_type="l7")
        assert {p.name: p.read_bytes() for p in (tmp_path / "l7").iterdir()} == {
            f"in_{key}.l7": b"".join(pieces[i] for i in indices) for key, (_, indices) in flows.items()}
    flowsieve.create_archive(str(source), str(tmp_path / "a.fsieve"))
    got = [((f.src_port, f.dst_port), [(p.ts_sec, p.ts_usec, p.data, p.orig_len) for p in f.packets()])
           for f in flowsieve.Archive.open(str(tmp_path / "a.fsieve")).flows()]
    assert got == [(ports, [recs[i] for i in indices]) for ports, indices in flows.values()]
    if EXE:  # the command tells how the later fragments went
        for command, out in ("split", tmp_path / "cli"), ("archive", tmp_path / "cli.fsieve"):
            done = subprocess.run([EXE, command, str(source), str(out)], capture_output=True, timeout=60)
            assert (done.returncode, done.stderr.decode()) == (0, "flowsieve: IP fragments: %d matched to their datagram, "
                                                               "%d without their first fragment sent to ports 0\n" % counts)
            # a report, not a warning: not with -q, and of what the filters kept only
            for options in ["-q"], ["--port", "1001"]:
                done = subprocess.run([EXE, command, str(source), str(out) + "2", *options, "--report", "json"],
                                      capture_output=True, timeout=60)
                assert (done.returncode, done.stderr) == (0, b"")
                report = json.loads(done.stdout)
                kept = counts if options == ["-q"] else (0, 0)
                assert (report["fragments_matched"], report["fragments_unmatched"]) == kept
                shutil.rmtree(str(out) + "2", ignore_errors=True)
                Path(str(out) + "2").unlink(missing_ok=True)
