"""The examples run as a user runs them, on small generated captures; their output is checked against the module."""
import ipaddress
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import flowsieve

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
from gen_capture import generate  # noqa: E402

# name -> (format, size in MB, sessions, seed)
CAPTURES = {"a.pcap": ("pcap", 0.3, 20, 1), "b.pcapng": ("pcapng", 0.3, 20, 2), "c.pcap": ("pcap", 0.2, 10, 3)}


@pytest.fixture(scope="module")
def capture_dir(tmp_path_factory):
    if sys.version_info < (3, 9):
        pytest.skip("bench/gen_capture.py needs Python 3.9 (random.randbytes)")
    directory = tmp_path_factory.mktemp("captures")
    for name, (fmt, size_mb, sessions, seed) in CAPTURES.items():
        generate(str(directory / name), size_mb, sessions, fmt, seed)
    return directory


def run(script, *args, cwd):
    return subprocess.run([sys.executable, str(ROOT / "examples" / script), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def listing(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


@pytest.mark.parametrize("workers, strategy", [(2, "session"), (1, "flow"), (3, "HostPair")])
def test_parallel_split_matches_one_split_per_capture(capture_dir, tmp_path, workers, strategy):
    result = run("parallel_split.py", capture_dir, tmp_path / "out", "--workers", workers, "--strategy", strategy,
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(CAPTURES)  # named by the whole file name
    for name in CAPTURES:
        flowsieve.split(str(capture_dir / name), str(tmp_path / "serial" / name), strategy=strategy.lower())
        files = listing(tmp_path / "serial" / name)
        assert listing(tmp_path / "out" / name) == files
        assert f"{name}: {len(files)} flow files, {sum(map(len, files.values()))} bytes" in result.stdout


def bad_capture(d):
    (d / "bad.pcap").write_bytes(b"not a capture at all")


def same_stem(d):
    shutil.copy(d / "a.pcap", d / "c.pcapng")


@pytest.mark.parametrize("setup, code, message, split", [
    (bad_capture, 1, "bad.pcap: RuntimeError: Unsupported file format (unknown magic number)",
     ["a.pcap", "b.pcapng", "c.pcap"]),
    (same_stem, 0, "", ["a.pcap", "b.pcapng", "c.pcap", "c.pcapng"]),  # one stem, two folders
    (lambda d: [p.unlink() for p in d.iterdir()], 2, "no capture (*.pcap, *.pcapng, *.cap) in", []),
], ids=["failed-capture", "same-stem", "empty"])
def test_parallel_split_failures(capture_dir, tmp_path, setup, code, message, split):
    directory = tmp_path / "captures"
    shutil.copytree(capture_dir, directory)
    setup(directory)
    result = run("parallel_split.py", directory, tmp_path / "out", "--workers", 2, cwd=tmp_path)
    assert (result.returncode, message in result.stderr) == (code, True), result.stderr
    out = tmp_path / "out"
    assert (sorted(p.name for p in out.iterdir() if any(p.iterdir())) if out.exists() else []) == split


@pytest.mark.parametrize("malformed", [False, True])
def test_dask_flows_gathers_every_flow(capture_dir, tmp_path, malformed):
    for module in ("dask.bag", "distributed", "pandas"):
        pytest.importorskip(module)
    import pandas as pd

    if malformed:  # reported, and the other captures go on
        capture_dir = Path(shutil.copytree(capture_dir, tmp_path / "captures"))
        (capture_dir / "bad.pcap").write_bytes(b"GIF89a" + bytes(40))
    result = run("dask_flows.py", capture_dir, tmp_path / "archives", "--strategy", "flow", "--csv",
                 tmp_path / "flows.csv", cwd=tmp_path)
    assert result.returncode == malformed, result.stderr
    assert ("bad.pcap: RuntimeError: Unsupported file format (unknown magic number)" in result.stderr) == malformed
    frame = pd.read_csv(tmp_path / "flows.csv", engine="python")
    got = sorted(frame.itertuples(index=False, name=None))
    expected = sorted((name, f.id, f.proto_name, f.src_addr, f.dst_addr, f.src_port, f.dst_port, f.packet_count,
                       f.total_bytes, f.start_ts, f.end_ts)
                      for name in CAPTURES for f in flowsieve.read_flows(str(capture_dir / name), "flow").flows())
    assert got == expected
    for name in CAPTURES:  # the workers left the archives where asked
        archive = flowsieve.Archive.open(str(tmp_path / "archives" / (Path(name).stem + ".fsieve")))
        assert len(archive) == sum(row[0] == name for row in expected)
    if malformed:
        return
    # The folders asked on the workers, one a task, answer as one Store of them all.
    (tmp_path / "more").mkdir()
    shutil.copy(tmp_path / "archives" / "a.fsieve", tmp_path / "more" / "z.fsieve")
    (tmp_path / "more" / "broken.fsieve").write_bytes(bytes(200))
    args = ["--proto", "tcp", "--since", str(archive.flows()[0].start_ts)]
    result = run("dask_flows.py", "find", tmp_path / "archives", tmp_path / "more", *args, "--csv",
                 tmp_path / "found.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert f"skipped {tmp_path}/more/broken.fsieve: Invalid archive footer" in result.stderr
    found = pd.read_csv(tmp_path / "found.csv", engine="python")
    with pytest.warns(RuntimeWarning):
        flows = flowsieve.Store(tmp_path / "archives", tmp_path / "more").find(proto="tcp", since=args[-1])
    assert flows and [tuple(r) for r in found[["archive", "id"]].itertuples(index=False)] == [
        (f.archive_path, f.id) for f in flows]


def session_name(flow):
    """The split file's key for a flow: endpoints in key order, compressed addresses, '.' and ':' as '_'."""
    ends = sorted((a.version, a.packed, p, a) for a, p in ((ipaddress.ip_address(flow.src_addr), flow.src_port),
                                                            (ipaddress.ip_address(flow.dst_addr), flow.dst_port)))
    key = "_".join(map(str, (flow.proto, ends[0][3], ends[1][3], ends[0][2], ends[1][2])))
    return key.replace(".", "_").replace(":", "_")


def payload(frame):
    """Application bytes of a generated frame (Ethernet, maybe one VLAN tag, IPv4/IPv6, TCP/UDP), padding left out."""
    pos, ethertype = (18, frame[16:18]) if frame[12:14] == b"\x81\x00" else (14, frame[12:14])
    if ethertype == b"\x08\x00":
        proto, end, pos = frame[pos + 9], pos + struct.unpack_from("!H", frame, pos + 2)[0], pos + (frame[pos] & 15) * 4
    elif ethertype == b"\x86\xdd":
        proto, end, pos = frame[pos + 6], pos + 40 + struct.unpack_from("!H", frame, pos + 4)[0], pos + 40
    else:
        return b""
    return frame[pos + (frame[pos + 12] >> 4) * 4:end] if proto == 6 else frame[pos + 8:end] if proto == 17 else b""


@pytest.mark.parametrize("name", list(CAPTURES))
def test_flow_bytes_holds_each_sessions_first_payload_bytes(capture_dir, tmp_path, name):
    np = pytest.importorskip("numpy")
    n = 512
    result = run("flow_bytes.py", capture_dir / name, "-n", n, "--out", tmp_path / "bytes.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with np.load(tmp_path / "bytes.npz") as saved:
        names, rows = list(saved["names"]), saved["bytes"]
    assert (rows.dtype, rows.shape) == (np.uint8, (len(names), n))
    streams = {session_name(f): b"".join(payload(p.data) for p in f.packets())
               for f in flowsieve.read_flows(str(capture_dir / name)).flows()}
    streams = {k: v for k, v in streams.items() if v}
    assert {len(s) < n for s in streams.values()} == {True, False}  # both padded and cut rows are checked
    assert dict(zip(names, (r.tobytes() for r in rows))) == {k: v[:n].ljust(n, b"\0") for k, v in streams.items()}


def test_dask_arrays_stacks_each_captures_arrays(capture_dir, tmp_path):
    for module in ("dask.bag", "distributed", "numpy"):
        pytest.importorskip(module)
    import numpy as np

    result = run("dask_arrays.py", capture_dir, tmp_path / "npz", "--packets", 5, "--packet-bytes", 30,
                 "--payload-bytes", 100, "--out", tmp_path / "all.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    names = sorted(CAPTURES)
    parts = [flowsieve.flow_arrays(capture_dir / n, packets=5, packet_bytes=30, payload_bytes=100) for n in names]
    with np.load(tmp_path / "all.npz") as stacked:
        assert list(stacked["captures"]) == [Path(n).stem for n in names]
        assert list(stacked["source"]) == [i for i, p in enumerate(parts) for _ in p.id]
        for array in ("key", "sizes", "directions", "iat_ns", "packet_bytes", "payload", "fwd_bytes"):
            assert np.array_equal(stacked[array], np.concatenate([getattr(p, array) for p in parts])), array
    assert sorted(p.name for p in (tmp_path / "npz").iterdir()) == [Path(n).stem + ".npz" for n in names]


@pytest.mark.parametrize("keep", [False, True])
def test_split_sample_leaves_only_the_folder_asked_for(tmp_path, keep):
    if sys.version_info < (3, 9):
        pytest.skip("bench/gen_capture.py needs Python 3.9 (random.randbytes)")
    (tmp_path / "tmp").mkdir()
    args = [str(tmp_path / "kept")] if keep else []
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "split_sample.py"), *args], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300,
                            env={**os.environ, "TMPDIR": str(tmp_path / "tmp")})
    assert result.returncode == 0, result.stderr
    assert list((tmp_path / "tmp").iterdir()) == []
    kept = sorted(p.name for p in (tmp_path / "kept").iterdir()) if keep else []
    assert (len(kept) > 0) == keep
    assert ("removed now" in result.stdout) != keep and all(n in result.stdout for n in kept[:12])
