"""flowsieve capture: a stream or an interface cut into archives by period and size as packets come, retention that
deletes only the command's own archives, and stopping on signals without losing a packet or leaving a temporary
file."""
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import flowsieve
from capwriter import block, packet, pcap, pcapng, udp_fragments
from test_cli import EXE

# A time on a multiple of every period used here.
T = 1_800_000_000 - 1_800_000_000 % 3600
OWN = re.compile(r"\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ(-\d+)?\.fsieve")


def items(count, step, start=T, size=60):
    """Packets of a few flows that go on across periods, `step` seconds apart."""
    return [(start + i * step, i, packet(f"10.0.0.{i % 4 + 1}", "10.9.9.9", "udp", 5000 + i % 4, 53,
                                         i.to_bytes(4, "big") * (size // 4))) for i in range(count)]


def stored(folder):
    """{archive name: [(ts_sec, ts_usec, frame)]} of every archive in the folder."""
    out = {}
    for path in sorted(Path(folder).glob("*.fsieve")):
        out[path.name] = sorted((p.ts_sec, p.ts_usec, p.data) for f in flowsieve.Archive.open(str(path)).flows()
                                for p in f.packets())
    return out


def capture(data, folder, *args):
    return subprocess.run([EXE, "capture", "-", folder, *map(str, args)], input=data, capture_output=True, timeout=60)


@pytest.mark.parametrize("form", [pcap, pcapng])
def test_a_stream_spanning_periods_is_cut_into_one_archive_per_period(tmp_path, form):
    recs = items(400, 7)
    result = capture(form(recs), tmp_path / "store", "--rotate", 60, "--report", "json")
    assert result.returncode == 0, result.stderr
    archives = stored(tmp_path / "store")
    # Every packet in exactly one archive, each archive within one aligned period and named by its first packet.
    assert sorted(p for ps in archives.values() for p in ps) == sorted((s, us, f) for s, us, f in recs)
    for name, ps in archives.items():
        assert len({s // 60 for s, _, _ in ps}) == 1
        assert name == time.strftime("%Y-%m-%dT%H-%M-%SZ.fsieve", time.gmtime(ps[0][0]))
    assert len(archives) == len({s // 60 for s, _, _ in recs})
    reports = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(r["archive"], r["packets"], r["bytes"]) for r in reports] == [
        (n, len(ps), (tmp_path / "store" / n).stat().st_size) for n, ps in archives.items()]
    assert result.stderr.decode().count(" packets, ") == len(archives)
    assert sorted(p.name for p in (tmp_path / "store").iterdir() if not OWN.fullmatch(p.name)) == [".fsieve-catalog"]
    # -q: neither status lines nor reports.
    quiet = capture(form(recs), tmp_path / "quiet", "--report", "json", "-q")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, b"", b"")
    assert stored(tmp_path / "quiet") == archives


def doubled(count):
    """Packets of a few flows 100 µs apart, every third one captured again behind another link layer 20 packets
    later; the copies."""
    recs = [(int(s), round(s * 10**6) % 10**6, f) for s, _, f in items(count, 0.0001, size=400)]
    copies = []
    for i in range(0, count, 3):
        s, us, f = recs[i + len(copies)]
        copies.append((s, us + 5, b"\x02" * 12 + f[12:]))
        recs.insert(min(len(recs), i + len(copies) + 20), copies[-1])
    return recs, copies


def fragmented(count):
    """UDP datagrams in fragments, every other one with a later fragment before its first; no copies."""
    recs = []
    for i in range(count):
        frames, _ = udp_fragments(f"10.0.0.{i % 5 + 1}", "10.9.9.9", 6000 + i % 5, 53, bytes(range(60)), ident=i)
        if i % 2:
            frames[0], frames[1] = frames[1], frames[0]
        recs += [(T + i, j, f) for j, f in enumerate(frames)]
    return recs, []


@pytest.mark.parametrize("make, args", [(doubled, ["--dedup"]), (fragmented, [])], ids=["dedup", "fragments"])
def test_a_stream_is_stored_as_archive_stores_its_capture(tmp_path, make, args):
    recs, copies = make(3000 if make is doubled else 300)
    (tmp_path / "in.pcap").write_bytes(pcap(recs))
    # Written a few packets at a time, so that the stream's blocks are reused while the packets compared with
    # those after them, or waiting for their first fragment, are still to be stored.
    p = subprocess.Popen([EXE, "capture", "-", tmp_path / "store", "--rotate", "86400", "--report", "json", *args],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    data = pcap(recs)
    for at in range(0, len(data), 4000):
        p.stdin.write(data[at:at + 4000])
        p.stdin.flush()
        time.sleep(0.001)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    subprocess.run([EXE, "archive", tmp_path / "in.pcap", tmp_path / "whole.fsieve", "-q", *args], check=True)
    [(name, kept)] = stored(tmp_path / "store").items()
    assert kept == sorted((s, us, f) for s, us, f in recs if (s, us, f) not in copies)
    assert sum(json.loads(line).get("duplicates_dropped", 0) for line in out.splitlines()) == len(copies)

    def flows(path):
        return subprocess.run([EXE, "flows", path, "-f", "csv"], capture_output=True, check=True).stdout.splitlines()
    # The same flows, every one with its ports: later fragments are in their datagram's flow.
    assert flows(tmp_path / "store" / name) == flows(tmp_path / "whole.fsieve")
    assert len(flows(tmp_path / "whole.fsieve")) == 1 + (4 if make is doubled else 5)


def test_pcapng_sections_and_interfaces_may_come_at_any_point_and_a_cut_record_is_left_out(tmp_path):
    ether = [(T + i, 0, 1, packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, b"a" * i)) for i in range(10)]
    raw = [(T + 10 + i, 0, 101, packet("10.0.0.1", "10.0.0.2", "udp", 1, 2, b"b" * i, raw=True)) for i in range(10)]

    def section(recs, links):
        out = [block("<", 0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
        out += [block("<", 1, struct.pack("<HHI", link, 0, 65535)) for link in links]
        out += [block("<", 6, struct.pack("<5I", links.index(link), s * 10**6 >> 32, s * 10**6 & 0xFFFFFFFF, len(f),
                                          len(f)) + f) for s, _, link, f in recs]
        return b"".join(out)
    data = section(ether[:5], [1]) + section(ether[5:] + raw, [1, 101])
    result = capture(data[:-10], tmp_path, "-q")
    assert result.returncode == 0, result.stderr
    assert b"the stream ended inside a record" in result.stderr
    # A link type that the archive does not list starts another.
    assert [[(s, f) for s, _, f in ps] for ps in stored(tmp_path).values()] == [
        [(s, f) for s, _, _, f in ether], [(s, f) for s, _, _, f in raw[:-1]]]


def test_an_archive_at_its_size_is_closed_and_the_next_named_apart(tmp_path):
    recs = items(300, 0, size=400)  # all in the same second
    result = capture(pcap(recs), tmp_path, "--rotate-size", "20K", "-q")
    assert result.returncode == 0, result.stderr
    archives = stored(tmp_path)
    assert sorted(p for ps in archives.values() for p in ps) == sorted(recs)
    stem = time.strftime("%Y-%m-%dT%H-%M-%SZ", time.gmtime(T))
    assert sorted(archives, key=lambda n: int(n[len(stem) + 1:-7] or 0)) == [
        stem + (f"-{i}" if i else "") + ".fsieve" for i in range(len(archives))]
    assert len(archives) >= 5
    # An archive ends with the packet that takes it to the size: no more than a record beyond it.
    assert all((tmp_path / n).stat().st_size < 20 * 1024 + 500 + 64 * len(ps) for n, ps in archives.items())


def test_retention_deletes_only_its_own_oldest_archives(tmp_path):
    store = tmp_path / "store"
    store.mkdir()
    foreign = {"notes.txt": b"mine", "trace.fsieve": b"x" * 100_000, "2001-01-01T00-00-00Z.fsieve.bak": b"x" * 100_000,
               "2001-01-01T00-00-00Z.fsieve.tmp": b"x", "2001-01-01T00-00-00.fsieve": b"x" * 100_000}
    for name, data in foreign.items():
        (store / name).write_bytes(data)
    (store / "2001-01-01T00-00-01Z.fsieve").mkdir()
    target = tmp_path / "elsewhere.fsieve"
    target.write_bytes(b"x" * 100_000)
    (store / "2001-01-01T00-00-02Z.fsieve").symlink_to(target)
    (store / "2001-01-01T00-00-03Z.fsieve").write_bytes(b"x" * 100_000)  # an old archive of an earlier run
    result = capture(pcap(items(600, 3, size=200)), store, "--rotate", 60, "--keep-size", "40K", "-q")
    assert result.returncode == 0, result.stderr
    left = {p.name for p in store.iterdir()}
    assert set(foreign) | {"2001-01-01T00-00-01Z.fsieve", "2001-01-01T00-00-02Z.fsieve"} <= left
    assert target.exists() and "2001-01-01T00-00-03Z.fsieve" not in left
    own = [store / n for n in left if OWN.fullmatch(n) and (store / n).is_file() and not (store / n).is_symlink()]
    assert sum(p.stat().st_size for p in own) <= 40 * 1024
    deleted = re.findall(r"deleted (\S+)", result.stderr.decode())
    assert "2001-01-01T00-00-03Z.fsieve" in deleted and not set(deleted) & left
    # The newest archive, that of the last period, is kept.
    assert time.strftime("%Y-%m-%dT%H-%M", time.gmtime(T + 599 * 3)) in " ".join(left)
    # By age: the archives whose first packet is an hour older than the newest packet.
    aged = capture(pcap(items(40, 600)), tmp_path / "aged", "--rotate", 600, "--keep", "1h", "-q")
    assert aged.returncode == 0, aged.stderr
    assert sorted(stored(tmp_path / "aged")) == [
        time.strftime("%Y-%m-%dT%H-%M-%SZ.fsieve", time.gmtime(T + i * 600)) for i in range(33, 40)]


@pytest.mark.parametrize("signals", [[signal.SIGTERM], [signal.SIGINT], [signal.SIGINT, signal.SIGTERM]],
                         ids=["term", "int", "twice"])
def test_a_stop_signal_finishes_the_archive_and_a_second_one_leaves_nothing(tmp_path, signals):
    recs = items(2000, 0)
    data = pcap(recs)
    p = subprocess.Popen([EXE, "capture", "-", tmp_path, "-q"], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(data)  # the stream stays open: the packets are in flight when the signal comes
    p.stdin.flush()
    deadline = time.monotonic() + 10
    while not list(tmp_path.glob(".*.tmp")) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)
    # Stopped, so that a second signal is still pending when the first one has been handled.
    p.send_signal(signal.SIGSTOP)
    for s in signals:
        p.send_signal(s)
    p.send_signal(signal.SIGCONT)
    assert p.wait(timeout=30) in ([0] if len(signals) == 1 else [128 + s for s in signals]), p.stderr.read()
    p.stdin.close()
    assert not list(tmp_path.glob(".*.tmp"))
    packets = [x for ps in stored(tmp_path).values() for x in ps]
    assert packets == (sorted(recs) if len(signals) == 1 else [])


def filled_behind_its_back(data, folder, filler):
    """Runs capture on a stream that another process's file fills the disk in the middle of."""
    p = subprocess.Popen([EXE, "capture", "-", folder, "-q"], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(data[:len(data) // 8])
    p.stdin.flush()
    deadline = time.monotonic() + 10
    while not list(folder.glob(".*.tmp")) and time.monotonic() < deadline:
        time.sleep(0.05)
    with open(filler, "wb", buffering=0) as f:
        with pytest.raises(OSError):
            while True:
                f.write(b"\0" * 65536)
    try:
        p.stdin.write(data[len(data) // 8:])
        p.stdin.close()
    except BrokenPipeError:
        pass
    p.wait(timeout=60)
    return subprocess.CompletedProcess(p.args, p.returncode, b"", p.stderr.read())


@pytest.mark.parametrize("behind", [False, True], ids=["by-its-archive", "behind-its-back"])
def test_a_full_disk_gives_up_the_archive_and_says_what_was_lost(tmp_path, behind):
    if os.geteuid() != 0 or not shutil.which("mount"):
        pytest.skip("mounting a tmpfs needs root")
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", disk], capture_output=True).returncode:
        pytest.skip("no tmpfs can be mounted here")
    try:
        # Without bounds on the store: the archive is finished with what it has, and the command fails.
        recs = items(30000, 0, size=400)
        if behind:
            result = filled_behind_its_back(pcap(recs), disk / "full", disk / "filler")
        else:
            result = capture(pcap(recs), disk / "full", "-q")
        assert result.returncode == 1, result.stderr
        lost = int(re.search(rb"(\d+) packets were lost", result.stderr).group(1))
        assert not list((disk / "full").glob(".*.tmp"))
        [kept] = stored(disk / "full").values()
        assert kept == sorted(recs)[:len(kept)] and lost > 0 and len(kept) + lost <= len(recs)
        if behind:
            return
        shutil.rmtree(disk / "full")
        # With bounds: the oldest archives go, and of the newest packets none is missing.
        recs = items(30000, 1, size=400)
        result = capture(pcap(recs), disk / "bounded", "--keep-size", "1G", "-q")
        assert result.returncode == 0, result.stderr
        assert b"(the disk is full)" in result.stderr
        packets = [x for ps in stored(disk / "bounded").values() for x in ps]
        assert len(packets) > 1000 and packets == sorted(recs)[-len(packets):]
    finally:
        subprocess.run(["umount", "-l", disk])


def test_an_interface_is_captured_whole(tmp_path):
    """A veth pair, one end in a network namespace of its own, from which a few thousand frames are sent."""
    if os.geteuid() != 0 or not shutil.which("ip"):
        pytest.skip("a network namespace needs root and ip")
    ns, host, peer = f"fscap{os.getpid()}", f"fsc{os.getpid()}a", f"fsc{os.getpid()}b"
    made = subprocess.run(["ip", "netns", "add", ns], capture_output=True).returncode == 0
    try:
        steps = [["ip", "link", "add", host, "type", "veth", "peer", "name", peer, "netns", ns],
                 ["ip", "link", "set", host, "up"], ["ip", "-n", ns, "link", "set", peer, "up"]]
        if not made or any(subprocess.run(s, capture_output=True).returncode for s in steps):
            pytest.skip("no veth pair in a network namespace can be made here")
        p = subprocess.Popen([EXE, "capture", "-i", host, tmp_path, "--filter", "udp port 53", "--report", "json"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1)
        assert p.poll() is None, p.stderr.read()
        frames = [r[2] for r in items(3000, 0)]
        send = ("import socket, sys\n"
                f"s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW); s.bind(({peer!r}, 0))\n"
                "data = sys.stdin.buffer.read(); n = 0\n"
                "while n < len(data):\n"
                "    size = int.from_bytes(data[n:n + 4], 'big'); s.send(data[n + 4:n + 4 + size]); n += 4 + size\n")
        stream = b"".join(len(f).to_bytes(4, "big") + f for f in frames)
        subprocess.run(["ip", "netns", "exec", ns, sys.executable, "-c", send], input=stream, check=True)
        time.sleep(1)
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=30)
        assert p.returncode == 0, err
        assert sorted(f for ps in stored(tmp_path).values() for _, _, f in ps) == sorted(frames)
        reports = [json.loads(line) for line in out.splitlines()]
        assert sum(r["packets"] for r in reports) == len(frames)
        assert sum(r["dropped_kernel"] for r in reports) == 0
    finally:
        subprocess.run(["ip", "link", "del", host], capture_output=True)
        if made:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def test_the_catalog_passes_over_only_archives_that_cannot_answer(tmp_path):
    store = tmp_path / "store"
    # Each archive's UDP flow asks DNS for a name of its own.
    name = [b"".join(bytes([len(p)]) + p for p in (b"h%d" % k, b"example", b"org")) for k in range(10)]
    recs = [(T + i * 10, 0, packet(f"10.0.{i // 6}.1", "10.9.9.9", "udp" if i % 2 else "tcp", 4000 + i // 6, 53,
                                   b"\x12\x34\x01\x00\x00\x01" + bytes(6) + name[i // 6] + b"\x00\x00\x01\x00\x01"
                                   if i % 2 else b"q")) for i in range(60)]
    assert capture(pcap(recs), store, "--rotate", 60, "-q").returncode == 0
    assert (store / ".fsieve-catalog").stat().st_size > 0
    # An archive changed after it was catalogued is asked as one without an entry.
    changed = sorted(store.glob("*.fsieve"))[3]
    (tmp_path / "other.pcap").write_bytes(pcap([(T, 0, packet("10.7.7.7", "10.9.9.9", "tcp", 1, 2))]))
    flowsieve.create_archive(str(tmp_path / "other.pcap"), str(changed))
    queries = [["--ip", "10.0.2.1"], ["--ip", "10.7.7.7"], ["--port", "4005"], ["--between", "10.0.1.1", "--port", "53"],
               ["--proto", "udp", "--ip", "10.0.9.1"], ["--since", str(T + 100), "--until", str(T + 130)],
               ["--flow", "tcp 10.0.4.1 4004 10.9.9.9 53"], ["--ip", "10.200.0.1"], ["--name", "H4.example.org"],
               ["--name", "*.example.ORG", "--ip", "10.0.5.1"], ["--name", "h3.example.org"]]

    def answers():
        return [subprocess.run([EXE, "flows", store, *q, "-f", "csv"], capture_output=True, check=True).stdout
                for q in queries] + [[(f.archive_path, f.id) for f in flowsieve.Store(str(store)).find(ip="10.0.2.1")]]
    with_catalog = answers()
    (store / ".fsieve-catalog").unlink()
    assert with_catalog == answers()
    assert b"10.7.7.7" in with_catalog[1] and with_catalog[-1]
    assert [len(a.splitlines()) for a in with_catalog[-4:-1]] == [2, 2, 1]  # the header and h4's, h5's, none (3 changed)
