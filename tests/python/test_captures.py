"""Splits every real capture and checks each flow file against keys computed here from the raw frame bytes."""
import collections
import ipaddress
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import flowsieve
from capwriter import ip_bytes, pcap, written

CAPTURES = Path(__file__).resolve().parents[2].parent / "shared" / "captures"
NAMES = sorted(p.name for p in CAPTURES.glob("*") if p.suffix in (".pcap", ".pcapng", ".cap")) if CAPTURES.is_dir() else []
PCAP_MAGICS = {b"\xd4\xc3\xb2\xa1": ("<", False), b"\xa1\xb2\xc3\xd4": (">", False),
               b"\x4d\x3c\xb2\xa1": ("<", True), b"\xa1\xb2\x3c\x4d": (">", True)}
# How a capture's frames are written out: its link types, snap length and precision (nanoseconds or microseconds).
Format = collections.namedtuple("Format", "links snap nano")


def snap_written(declared):
    return 262144 if declared == 0 else max(declared, 65535)


def tsresol_ticks(value):
    """Ticks per second of an if_tsresol value; None for a power beyond 64 bits."""
    power = value & 0x7F
    if value & 0x80:
        return 2**power if power <= 63 else None
    return 10**power if power <= 19 else None


def read_capture(data):
    """Returns (link type, [(sec, fraction, frame, orig_len, frame link type)], error text or None) as flowsieve
    reads, the fraction of a second in the unit that output_format(data).nano says."""
    return read_all(data)[:3]


def output_format(data):
    return read_all(data)[3]


def ns_records(data):
    """The records of read_capture with their times in nanoseconds, whatever the file's precision."""
    _, recs, _, fmt = read_all(data)
    return [(sec, frac if fmt.nano else frac * 1000, *rest) for sec, frac, *rest in recs]


def read_all(data):
    if data[:4] in PCAP_MAGICS:
        order, nano = PCAP_MAGICS[data[:4]]
        link, pos, recs = struct.unpack_from(order + "I", data, 20)[0], 24, []
        fmt = Format([link], snap_written(struct.unpack_from(order + "I", data, 16)[0]), nano)
        while len(data) - pos >= 16:
            sec, sub, incl, orig = struct.unpack_from(order + "4I", data, pos)
            pos += 16
            if incl > len(data) - pos:
                return link, recs, f"Invalid PCAP format: packet incl_len {incl} exceeds remaining data at offset {pos}", fmt
            recs.append((sec, sub, data[pos:pos + incl], orig, link))
            pos += incl
        return link, recs, None, fmt
    assert data[:4] == b"\n\r\r\n", "every corpus file is pcap or pcapng"
    order, pos, interfaces = "<", 0, []
    while len(data) - pos >= 8:  # the opening scan, up to the first packet block
        block_type, length = struct.unpack_from(order + "II", data, pos)
        magic = struct.unpack_from("<I", data, pos + 8)[0] if len(data) - pos >= 12 else 0
        if block_type == 0x0A0D0D0A:
            length = struct.unpack_from(">I" if magic == 0x4D3C2B1A else "<I", data, pos + 4)[0]
        if length < 12 or pos + length > len(data):
            pos += 8
            break
        if block_type == 0x0A0D0D0A:
            assert length >= 16 and magic in (0x1A2B3C4D, 0x4D3C2B1A), "no corpus file fails to open"
            order = "<" if magic == 0x1A2B3C4D else ">"
        elif block_type == 1:
            assert length >= 20, "no corpus file fails to open"
            tps, opt, end = 10**6, pos + 16, pos + length - 4
            while end - opt >= 4:
                code, size = struct.unpack_from(order + "HH", data, opt)
                if code == 0 or opt + 4 + size > end:
                    break
                if code == 9 and size:
                    tps = tsresol_ticks(data[opt + 4]) or tps
                opt += 4 + size + (-size % 4)
            interfaces.append((tps, struct.unpack_from(order + "H", data, pos + 8)[0],
                               struct.unpack_from(order + "I", data, pos + 12)[0]))
        elif block_type in (3, 6):
            break
        pos += length + (-length % 4)
    link, recs = interfaces[0][1] if interfaces else 1, []
    fmt = Format(list(dict.fromkeys(i[1] for i in interfaces)) or [1],
                 max([65535] + [snap_written(i[2]) for i in interfaces]),
                 any(i[0] > 10**6 or 10**6 % i[0] for i in interfaces))
    while len(data) - pos >= 8:
        block_type, length = struct.unpack_from(order + "II", data, pos)
        if length < 12 or pos + length > len(data):
            break
        if block_type == 6:
            iface, high, low, cap, orig = struct.unpack_from(order + "5I", data, pos + 8) if length >= 32 else [0] * 5
            if length < 32 or 28 + cap > length - 4:
                return link, recs, "Invalid PCAP-NG format: " + (
                    "EPB too short" if length < 32 else "EPB packet data exceeds block"), fmt
            tps, frame_link = interfaces[iface][:2] if iface < len(interfaces) else (10**6, 1)
            sec, rem = divmod(high << 32 | low, tps)
            fraction = rem * 10**9 // tps if fmt.nano else rem * 10**6 // tps
            recs.append((sec & 0xFFFFFFFF, fraction, data[pos + 28:pos + 28 + cap], orig, frame_link))
            pos += length
        elif block_type == 3:
            assert length > 16, "an empty SPB: handling left open"
            recs.append((0, 0, data[pos + 12:pos + length - 4], struct.unpack_from(order + "I", data, pos + 8)[0], 1))
            pos += length
        else:
            pos += length + (-length % 4)
    return link, recs, None, fmt


def dissect_ip(b):
    """((src, dst, sport, dport, proto), fragment) of an IP header at the start of b, or (None, None). fragment is
    (datagram, first) for a piece of a fragmented datagram; a later piece has no ports, and over IPv6 the protocol
    its Fragment header names."""
    n, fragment = len(b), None
    if n and b[0] >> 4 == 4:
        offset = (b[0] & 15) * 4
        if n < 20 or offset < 20 or offset > n:
            return None, None
        src, dst, proto = b[12:16], b[16:20], b[9]
        field = struct.unpack_from("!H", b, 6)[0]
        if field & 0x3FFF:
            fragment = (src, dst, proto, b[4:6]), not field & 0x1FFF
    elif n >= 40 and b[0] >> 4 == 6:
        src, dst, proto, offset = b[8:24], b[24:40], b[6], 40
        for _ in range(8):
            if proto not in (0, 43, 44, 51, 60):
                break
            if n < offset + 2:
                return None, None
            field = struct.unpack_from("!H", b, offset + 2)[0] if proto == 44 and n >= offset + 8 else 0
            if field & 0xFFF9:
                fragment = (src, dst, None, b[offset + 4:offset + 8]), not field & 0xFFF8
            if fragment and not fragment[1]:
                proto = b[offset]
                break
            size = 8 if proto == 44 else (b[offset + 1] + 2) * 4 if proto == 51 else (b[offset + 1] + 1) * 8
            proto, offset = b[offset], offset + size
    else:
        return None, None
    later = fragment and not fragment[1]
    ports = struct.unpack_from("!HH", b, offset) if proto in (6, 17) and n >= offset + 4 and not later else (0, 0)
    return (src, dst, ports[0], ports[1], proto), fragment


IP_TYPES = (b"\x08\x00", b"\x86\xdd")


def ip_after_ethertype(f, at):
    """Where the IP header starts behind the EtherType at `at`: after up to 8 VLAN tags, then directly, or after an
    MPLS label stack of up to 8 labels, or a PPPoE session header carrying PPP IPv4/IPv6; None otherwise."""
    for _ in range(9):
        if f[at:at + 2] not in (b"\x81\x00", b"\x88\xa8", b"\x91\x00"):
            break
        at += 4
    else:
        return None
    kind = f[at:at + 2]
    if kind in IP_TYPES:
        return at + 2
    if kind in (b"\x88\x47", b"\x88\x48"):
        labels = [at + 2 + 4 * i for i in range(8) if len(f) >= at + 6 + 4 * i]
        return next((pos + 4 for pos in labels if f[pos + 2] & 1), None)
    if kind == b"\x88\x64" and f[at + 8:at + 10] in (b"\x00\x21", b"\x00\x57"):
        return at + 10
    return None


def dissect(f, link):
    """(ip tuple, src mac, dst mac, bssid, fragment), each None when absent."""
    nothing = None, None, None, None, None
    if link == 1:
        if len(f) < 14:
            return nothing
        start = ip_after_ethertype(f, 12)
        ip, fragment = dissect_ip(f[start:]) if start is not None else (None, None)
        return ip, f[6:12], f[0:6], None, fragment
    if link in (113, 276):
        start, protocol = (16, f[14:16]) if link == 113 else (20, f[0:2])
        ip, fragment = dissect_ip(f[start:]) if len(f) >= start and protocol in IP_TYPES else (None, None)
        return ip, None, None, None, fragment
    if link in (0, 108):
        families = [struct.unpack_from(order, f)[0] for order in ("!I", "<I")[:2 if link == 0 else 1] if len(f) >= 4]
        ethertype = f[2:4] in IP_TYPES  # as Wireshark reads a header that holds one
        ip, fragment = dissect_ip(f[4:]) if set(families) & {2, 24, 28, 30} or ethertype else (None, None)
        return ip, None, None, None, fragment
    if link not in (105, 127):
        ip, fragment = dissect_ip(f)
        return ip, None, None, None, fragment
    h = 0 if link == 105 else struct.unpack_from("<H", f, 2)[0] if len(f) >= 4 and f[0] == 0 else -1
    if (link == 127 and not 4 <= h <= len(f)) or len(f) < h + 24:
        return nothing
    kind, to_ds, from_ds = (f[h] >> 2) & 3, f[h + 1] & 1, (f[h + 1] >> 1) & 1
    a1, a2, a3 = f[h + 4:h + 10], f[h + 10:h + 16], f[h + 16:h + 22]
    bssid = a3 if kind == 0 else {(0, 0): a3, (0, 1): a2, (1, 0): a1}.get((to_ds, from_ds)) if kind == 2 else None
    end = h + (30 if to_ds and from_ds else 24)
    snap = lambda at: len(f) >= at + 8 and f[at:at + 6] == b"\xaa\xaa\x03\x00\x00\x00" and f[at + 6:at + 8] in IP_TYPES
    if not snap(end) and kind == 2 and f[h] & 0x80:  # QoS data: QoS Control, and HT Control with the Order bit
        end += 2 + (4 if f[h + 1] & 0x80 else 0)
    ip, fragment = dissect_ip(f[end + 8:]) if snap(end) else (None, None)
    return ip, a2, a1, bssid, fragment


def dissect_all(recs):
    """(ip tuple, src mac, dst mac, bssid) of each record; a later fragment takes the ports and protocol of its
    datagram's first fragment when the capture holds one."""
    parts = [dissect(r[2], r[4]) for r in recs]
    firsts = {}
    for ip, *_, fragment in parts:
        if fragment and fragment[1]:
            firsts.setdefault(fragment[0], ip)
    return [((ip[:2] + firsts[fragment[0]][2:]) if fragment and fragment[0] in firsts else ip, *hardware)
            for ip, *hardware, fragment in parts]


def text(a):
    if len(a) == 4:
        return str(ipaddress.IPv4Address(a))
    if a[:12] == bytes(10) + b"\xff\xff":
        return "::ffff:" + str(ipaddress.IPv4Address(a[12:]))
    return ipaddress.IPv6Address(a).compressed


def keys(strategy, ip, src_mac, dst_mac, bssid):
    if strategy == "mac":
        return ["no_mac"] if src_mac is None else [src_mac.hex()] + ([dst_mac.hex()] if dst_mac != src_mac else [])
    if strategy == "bssid":
        return [bssid.hex() if bssid else "no_bssid"]
    if ip is None:
        return ["no_" + strategy]
    src, dst, sport, dport, proto = ip
    a, b = (len(src), src, sport), (len(dst), dst, dport)
    if strategy == "host":
        return [text(src)] + ([text(dst)] if dst != src else [])
    if strategy == "hostpair":
        low, high = sorted([a[:2], b[:2]])
        return [f"{text(low[1])}_{text(high[1])}"]
    if strategy == "session" and b < a:
        a, b = b, a
    return [f"{proto}_{text(a[1])}_{text(b[1])}_{a[2]}_{b[2]}"]


@pytest.mark.skipif(not CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
@pytest.mark.parametrize("strategy", ["session", "flow", "host", "hostpair", "mac", "bssid"])
@pytest.mark.parametrize("name", NAMES)
def test_real_capture(tmp_path, name, strategy):
    out, source = tmp_path / "out", CAPTURES / name
    link, recs, error, fmt = read_all(source.read_bytes())
    flows = {}
    for rec, dissected in zip(recs, dissect_all(recs)):
        for key in keys(strategy, *dissected):
            flows.setdefault(key, []).append(rec)
    stem, ext = name.rsplit(".", 1)[0], ".pcapng" if len(fmt.links) > 1 else ".pcap"
    want = {f"{stem}_{k.replace('.', '_').replace(':', '_')}{ext}": written(v, *fmt) for k, v in flows.items()}
    if error:
        with pytest.raises(RuntimeError) as err:
            flowsieve.split(str(source), str(out), strategy)
        assert str(err.value) == error
        want = {f".{n}.tmp": data for n, data in want.items()}
    else:
        flowsieve.split(str(source), str(out), strategy)
    got = {p.name: p.read_bytes() for p in out.iterdir()}
    assert sorted(got) == sorted(want)
    assert [n for n in want if got[n] != want[n]] == []


def tshark_payloads(source):
    """{session key: TCP and UDP payload bytes in capture order} as tshark decodes them, without reassembly; frames
    with more than one IP header (tunnels, ICMP errors) are left out."""
    fields = ["ip.src", "ip.dst", "ipv6.src", "ipv6.dst", "tcp.srcport", "tcp.dstport", "udp.srcport", "udp.dstport",
              "tcp.payload", "udp.payload"]
    out = subprocess.run(["tshark", "-r", str(source), "-o", "ip.defragment:FALSE", "-o", "ipv6.defragment:FALSE",
                          "-T", "fields", "-E", "separator=|", *[a for f in fields for a in ("-e", f)]],
                         capture_output=True, text=True, check=True, timeout=120).stdout
    streams = {}
    for line in out.splitlines():
        s4, d4, s6, d6, tsp, tdp, usp, udp_, tpay, upay = line.split("|")
        src, dst = s4 or s6, d4 or d6
        if not src or "," in src + dst or not (tsp or usp):
            continue
        ip = (ip_bytes(src), ip_bytes(dst), int(tsp or usp), int(tdp or udp_), 6 if tsp else 17)
        key = keys("session", ip, None, None, None)[0].replace(".", "_").replace(":", "_")
        streams[key] = streams.get(key, b"") + bytes.fromhex(tpay.replace(":", "") + upay.replace(":", ""))
    return {k: v for k, v in streams.items() if v}


@pytest.mark.skipif(not CAPTURES.is_dir() or not shutil.which("tshark"), reason="needs the capture corpus and tshark")
@pytest.mark.parametrize("name", ["zeek_get-to-ssh-server.pcap", "pcapplusplus_sll.pcap", "pcapplusplus_many-protocols.pcap",
                                  "pcapplusplus_four_ipv6_http_streams.pcap", "pcapplusplus_raw_ip.pcap",
                                  "pcapplusplus_many_interfaces-1.pcapng", "zeek_ipv6-http-atomic-frag.pcap",
                                  "pcapplusplus_GrePackets.cap", "zeek_pcapng-multi-interface.pcapng"])
def test_l7_holds_the_tcp_and_udp_payload_tshark_shows(tmp_path, name):
    flowsieve.split(str(CAPTURES / name), str(tmp_path), "session", output_type="l7")
    stem = name.rsplit(".", 1)[0] + "_"
    got = {p.name[len(stem):-3]: p.read_bytes() for p in tmp_path.iterdir() if p.name[len(stem):].startswith(("6_", "17_"))}
    assert got == tshark_payloads(CAPTURES / name)


def reencapsulated(frame, how):
    """The IP packet of an Ethernet frame (untagged or one 802.1Q tag) under another link type or encapsulation, as
    (link type, frame); None for a frame without IP."""
    start = 18 if frame[12:14] == b"\x81\x00" else 14
    ethertype, ip = frame[start - 2:start], frame[start:]
    if ethertype not in IP_TYPES:
        return None
    v6, macs = ethertype == b"\x86\xdd", frame[:12]
    return {
        "sll": lambda: (113, struct.pack("!HHH8s", 0, 1, 6, frame[6:12]) + ethertype + ip),
        "sll2": lambda: (276, ethertype + struct.pack("!HIHBB8s", 0, 3, 1, 0, 6, frame[6:12]) + ip),
        "null-le": lambda: (0, struct.pack("<I", 30 if v6 else 2) + ip),
        "null-be": lambda: (0, struct.pack(">I", 24 if v6 else 2) + ip),
        "loop": lambda: (108, struct.pack(">I", 28 if v6 else 2) + ip),
        "qinq": lambda: (1, macs + struct.pack("!HHHH", 0x88A8, 30, 0x8100, 100) + ethertype + ip),
        "mpls": lambda: (1, macs + struct.pack("!HII", 0x8847, 0x00010040, 0x00020140) + ip),
        "pppoe": lambda: (1, macs + struct.pack("!HBBHHH", 0x8864, 0x11, 0, 1, len(ip) + 2, 0x57 if v6 else 0x21) + ip),
    }[how]()


@pytest.mark.skipif(not CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
@pytest.mark.parametrize("how", ["sll", "sll2", "null-le", "null-be", "loop", "qinq", "mpls", "pppoe"])
def test_reencapsulated_capture_splits_and_archives_alike(tmp_path, how):
    _, recs, _ = read_capture((CAPTURES / "pcapplusplus_many-protocols.pcap").read_bytes())
    pairs = [(rec, reencapsulated(rec[2], how)) for rec in recs]
    ether = [rec[:4] for rec, other in pairs if other]
    link = next(other[0] for _, other in pairs if other)
    wrapped = [(sec, usec, other[1], orig - len(frame) + len(other[1])) for (sec, usec, frame, orig, _), other in pairs if other]
    results = []
    for name, data in (("ether", pcap(ether)), (how, pcap(wrapped, link))):
        (tmp_path / "cap.pcap").write_bytes(data)
        flowsieve.split(str(tmp_path / "cap.pcap"), str(tmp_path / name), "session")
        counts = {p.name: len(read_capture(p.read_bytes())[1]) for p in (tmp_path / name).iterdir()}
        flowsieve.create_archive(str(tmp_path / "cap.pcap"), str(tmp_path / f"{name}.fsieve"), "session")
        flows = [(f.proto, f.src_addr, f.dst_addr, f.src_port, f.dst_port)
                 for f in flowsieve.Archive.open(str(tmp_path / f"{name}.fsieve")).flows()]
        results.append((counts, flows))
    assert "cap_no_session.pcap" not in results[0][0] and len(results[0][1]) > 200
    assert results[1] == results[0]
