"""Every frame back out as it came in: its bytes, its time at the capture's precision and its link type, through the
split files, the archive's merged export and tcpdump; and captures that need none of this give what they always did."""
import collections
import decimal
import hashlib
import shutil
import struct
import subprocess

import pytest

import flowsieve
import test_captures as tc
from capwriter import T0, block, eth, ipv4, packet, pcap, pcapng, tcp

BIG = eth(ipv4("127.0.0.1", "127.0.0.1", 6, tcp(40000, 8080, bytes(65535 - 40))))  # a full loopback datagram
MIX = [packet("10.0.0.1", "10.0.0.2", "tcp", 1234, 80, b"x" * 30), packet("10.0.0.2", "10.0.0.1", "tcp", 80, 1234),
       packet("2001:db8::1", "2001:db8::2", "udp", 53, 5353, b"q"), packet("10.0.0.1", "10.0.0.3", "icmp")]


def binary_tsresol(frames, power=20):
    """pcapng with if_tsresol 2^-power: ticks that fall between nanoseconds."""
    out = [block("<", 0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
           block("<", 1, struct.pack("<HHIHHB3x", 1, 0, 0, 9, 1, 0x80 | power) + bytes(4))]
    for i, frame in enumerate(frames):
        ticks = (T0 + i << power) + 12345 * i + 1
        out.append(block("<", 6, struct.pack("<5I", 0, ticks >> 32, ticks & 0xFFFFFFFF, len(frame), len(frame)) + frame))
    return b"".join(out)


def two_link_types(frames, far=False):
    """pcapng whose first interface is Ethernet and second raw IP (101), in nanoseconds; odd frames on the second.
    far: the second in microseconds, at times past the year 2554, which nanoseconds cannot count."""
    out = [block("<", 0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
    out += [block("<", 1, struct.pack("<HHI", link, 0, 0) + (b"" if far and link == 101 else
                                                             struct.pack("<HHB3x", 9, 1, 9) + bytes(4)))
            for link in (1, 101)]
    for i, frame in enumerate(frames):
        frame, ticks = frame[14:] if i % 2 else frame, (T0 + i) * 10**9 + 987654321
        if far and i % 2:
            ticks = (2 * 10**10 + i) * 10**6 + 654321
        out.append(block("<", 6, struct.pack("<5I", i % 2, ticks >> 32, ticks & 0xFFFFFFFF, len(frame), len(frame))
                         + frame))
    return b"".join(out)


GENERATED = {
    "ns.pcap": pcap(MIX, nano=True),
    "binary.pcapng": binary_tsresol(MIX),
    "links.pcapng": two_link_types(MIX * 2),
    "far.pcapng": two_link_types(MIX * 2, far=True),
    "loopback.pcap": pcap(MIX + [BIG, BIG], order="<")[:16] + struct.pack("<I", 262144) + pcap(MIX + [BIG, BIG])[20:],
    "oversized.pcap": pcap(MIX + [BIG]),  # damaged: a record longer than the snap length stated
    "host.pcap": pcap([packet("127.0.0.1", "127.0.0.1", "udp", 1, 2), packet("10.0.0.1", "10.0.0.1", "tcp", 5, 6)]),
}
SOURCES = sorted(GENERATED) + (tc.NAMES if tc.CAPTURES.is_dir() else [])


def frames(data):
    """Each record as (ns since the epoch, link type, frame, orig_len); the file's snap length."""
    _, recs, error, fmt = tc.read_all(data)
    assert error is None
    unit = 1 if fmt.nano else 1000
    return [(sec * 10**9 + frac * unit, link, frame, orig) for sec, frac, frame, orig, link in recs], fmt


def epoch_times(data):
    shown = subprocess.run(["tshark", "-r", "-", "-T", "fields", "-e", "frame.time_epoch"], input=data,
                           capture_output=True, check=True).stdout.split()
    return [decimal.Decimal(t.decode()) for t in shown]


@pytest.mark.parametrize("name", SOURCES)
def test_frames_come_back_whole(tmp_path, name):
    source = tmp_path / name
    source.write_bytes(GENERATED[name] if name in GENERATED else (tc.CAPTURES / name).read_bytes())
    link, recs, error, fmt = tc.read_all(source.read_bytes())
    if error:
        pytest.skip("a capture that ends in an error is written under temporary names")
    want, _ = frames(source.read_bytes())
    flowsieve.split(str(source), str(tmp_path / "split"), "session")
    outputs = [p.read_bytes() for p in sorted((tmp_path / "split").iterdir())]
    subprocess.run(["flowsieve", "archive", "-q", source, tmp_path / "a.fsieve"], check=True)
    export = subprocess.run(["flowsieve", "export", tmp_path / "a.fsieve", "--merge", "-o", "-"], capture_output=True,
                            check=True)
    merged = export.stdout
    if name != "far.pcapng":  # an archive's records keep 32-bit seconds, as classic pcap does
        assert sorted(flowsieve.pipe_archive(str(tmp_path / "a.fsieve"))) == sorted(outputs)
    # pcapng of several link types is said where it is written; --link-type writes a pcap of one
    split = subprocess.run(["flowsieve", "split", "-q", source, tmp_path / "cmd"], capture_output=True, check=True)
    for result in (split, export):
        assert (b"flowsieve: note: frames of link types " in result.stderr) == (len(fmt.links) > 1)
    for one in fmt.links if len(fmt.links) > 1 else []:
        alone = subprocess.run(["flowsieve", "export", tmp_path / "a.fsieve", "--merge", "-o", "-", "--link-type",
                                str(one)], capture_output=True, check=True)
        assert alone.stdout[:4] != b"\n\r\r\n" and alone.stderr == b""
        assert collections.Counter(frames(alone.stdout)[0]) == collections.Counter(w for w in want if w[1] == one)
    got = [f for data in outputs for f in frames(data)[0]]
    assert collections.Counter(got) == collections.Counter(want)
    if name in GENERATED and outputs[0][:4] == b"\n\r\r\n":  # each time whole, as tshark reads the capture
        assert collections.Counter(t for data in outputs for t in epoch_times(data)) == collections.Counter(
            epoch_times(source.read_bytes()))
    merged_frames, merged_fmt = frames(merged)
    assert collections.Counter(merged_frames) == collections.Counter(want)
    assert merged_fmt.links == fmt.links and merged_fmt.snap >= max([len(f[2]) for f in want] + [65535])
    for data in [merged] + outputs:
        if data[:4] == b"\n\r\r\n":  # libpcap reads one link type per file: tshark reads them all
            shown = subprocess.run(["tshark", "-r", "-", "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.len"],
                                   input=data, capture_output=True, check=True).stdout.split()
            assert len(shown) == 2 * len(frames(data)[0])
        elif shutil.which("tcpdump") and fmt.links[0] <= 0xFFFF:  # libpcap keeps every byte of every record
            precision = "nano" if frames(data)[1].nano else "micro"
            again = subprocess.run(["tcpdump", f"--time-stamp-precision={precision}", "-r", "-", "-w", "-"],
                                   input=data, capture_output=True, check=True).stdout
            # libpcap writes raw IP under its own number, 101
            link = 101 if fmt.links[0] in (12, 14) else fmt.links[0]
            assert again == data[:20] + struct.pack("<I", link) + data[24:]


@pytest.mark.parametrize("strategy, files", [("host", {"cap_127_0_0_1.pcap": 1, "cap_10_0_0_1.pcap": 1}),
                                             ("mac", {"cap_02000000000a.pcap": 2, "cap_02000000000b.pcap": 2})])
def test_a_packet_goes_into_its_flow_once(tmp_path, strategy, files):
    (tmp_path / "cap.pcap").write_bytes(GENERATED["host.pcap"])
    flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / "out"), strategy)
    archive = flowsieve.read_flows(str(tmp_path / "cap.pcap"), strategy)
    assert {p.name: len(tc.read_capture(p.read_bytes())[1]) for p in (tmp_path / "out").iterdir()} == files
    assert sorted(f.packet_count for f in archive.flows()) == sorted(files.values())


def unchanged_digest(tmp_path):
    """The split files and archives of a capture in microseconds of one link type, by strategy; the archives without
    the flow fields section that every archive with flows has since connections were counted (test_connections
    checks it)."""
    from test_archive import without_flow_fields

    frames_ = MIX + [packet("10.0.0.1", "10.0.0.1", "udp", 7, 7), packet("fe80::1", "ff02::1", "icmp")]
    (tmp_path / "us.pcap").write_bytes(pcap(frames_ * 3))
    digest = hashlib.sha256()
    for strategy in ("session", "flow", "hostpair", "mac", "nosplit"):
        flowsieve.split(str(tmp_path / "us.pcap"), str(tmp_path / strategy), strategy)
        flowsieve.create_archive(str(tmp_path / "us.pcap"), str(tmp_path / f"{strategy}.fsieve"), strategy)
        for path in sorted((tmp_path / strategy).iterdir()) + [tmp_path / f"{strategy}.fsieve"]:
            raw = path.read_bytes()
            digest.update(path.name.encode() + (without_flow_fields(raw) if path.suffix == ".fsieve" else raw))
    return digest.hexdigest()


def test_captures_that_need_nothing_new_give_what_they_always_did(tmp_path):
    assert unchanged_digest(tmp_path) == "57100bd31908ab496ea64368be3f7adc8e40b585c831569e3b41a15df7ba1201"
