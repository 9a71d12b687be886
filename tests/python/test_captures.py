"""Splits every real capture and checks each flow file against keys computed here from the raw frame bytes."""
import ipaddress
import struct
from pathlib import Path

import pytest

import flowsieve
from capwriter import pcap

CAPTURES = Path(__file__).resolve().parents[2].parent / "shared" / "captures"
NAMES = sorted(p.name for p in CAPTURES.glob("*") if p.suffix in (".pcap", ".pcapng", ".cap")) if CAPTURES.is_dir() else []
PCAP_MAGICS = {b"\xd4\xc3\xb2\xa1": ("<", False), b"\xa1\xb2\xc3\xd4": (">", False),
               b"\x4d\x3c\xb2\xa1": ("<", True), b"\xa1\xb2\x3c\x4d": (">", True)}


def read_capture(data):
    """Returns (link type, [(sec, usec, frame, orig_len, frame link type)], error text or None) as flowsieve reads."""
    if data[:4] in PCAP_MAGICS:
        order, nano = PCAP_MAGICS[data[:4]]
        link, pos, recs = struct.unpack_from(order + "I", data, 20)[0], 24, []
        while len(data) - pos >= 16:
            sec, sub, incl, orig = struct.unpack_from(order + "4I", data, pos)
            pos += 16
            if incl > len(data) - pos:
                return link, recs, f"Invalid PCAP format: packet incl_len {incl} exceeds remaining data at offset {pos}"
            recs.append((sec, sub // 1000 if nano else sub, data[pos:pos + incl], orig, link))
            pos += incl
        return link, recs, None
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
                if code == 9 and size and not data[opt + 4] & 0x80:
                    tps = 10 ** data[opt + 4]
                opt += 4 + size + (-size % 4)
            interfaces.append((tps, struct.unpack_from(order + "H", data, pos + 8)[0]))
        elif block_type in (3, 6):
            break
        pos += length + (-length % 4)
    link, recs = interfaces[0][1] if interfaces else 1, []
    while len(data) - pos >= 8:
        block_type, length = struct.unpack_from(order + "II", data, pos)
        if length < 12 or pos + length > len(data):
            break
        if block_type == 6:
            iface, high, low, cap, orig = struct.unpack_from(order + "5I", data, pos + 8) if length >= 32 else [0] * 5
            if length < 32 or 28 + cap > length - 4:
                return link, recs, "Invalid PCAP-NG format: " + ("EPB too short" if length < 32 else "EPB packet data exceeds block")
            tps, frame_link = interfaces[iface] if iface < len(interfaces) else (10**6, 1)
            sec, rem = divmod(high << 32 | low, tps)
            usec = rem * 10**6 // tps if tps < 10**6 else rem // (tps // 10**6)
            recs.append((sec & 0xFFFFFFFF, usec, data[pos + 28:pos + 28 + cap], orig, frame_link))
            pos += length
        elif block_type == 3:
            assert length > 16, "an empty SPB: handling left open"
            recs.append((0, 0, data[pos + 12:pos + length - 4], struct.unpack_from(order + "I", data, pos + 8)[0], 1))
            pos += length
        else:
            pos += length + (-length % 4)
    return link, recs, None


def dissect_ip(b):
    """(src, dst, sport, dport, proto) of an IP header at the start of b, or None."""
    n = len(b)
    if n and b[0] >> 4 == 4:
        offset = (b[0] & 15) * 4
        if n < 20 or offset < 20 or offset > n:
            return None
        src, dst, proto = b[12:16], b[16:20], b[9]
    elif n >= 40 and b[0] >> 4 == 6:
        src, dst, proto, offset = b[8:24], b[24:40], b[6], 40
        for _ in range(8):
            if proto not in (0, 43, 44, 51, 60):
                break
            if n < offset + 2:
                return None
            size = 8 if proto == 44 else (b[offset + 1] + 2) * 4 if proto == 51 else (b[offset + 1] + 1) * 8
            proto, offset = b[offset], offset + size
    else:
        return None
    ports = struct.unpack_from("!HH", b, offset) if proto in (6, 17) and n >= offset + 4 else (0, 0)
    return src, dst, ports[0], ports[1], proto


def dissect(f, link):
    """(ip tuple, src mac, dst mac, bssid), each None when absent."""
    nothing = None, None, None, None
    if link == 1:
        if len(f) < 14:
            return nothing
        start = 14 if f[12:14] in (b"\x08\x00", b"\x86\xdd") else None
        if f[12:14] == b"\x81\x00" and len(f) >= 18 and f[16:18] in (b"\x08\x00", b"\x86\xdd"):
            start = 18
        return (dissect_ip(f[start:]) if start else None), f[6:12], f[0:6], None
    if link not in (105, 127):
        return dissect_ip(f), None, None, None
    h = 0 if link == 105 else struct.unpack_from("<H", f, 2)[0] if len(f) >= 4 and f[0] == 0 else -1
    if (link == 127 and not 4 <= h <= len(f)) or len(f) < h + 24:
        return nothing
    kind, to_ds, from_ds = (f[h] >> 2) & 3, f[h + 1] & 1, (f[h + 1] >> 1) & 1
    a1, a2, a3 = f[h + 4:h + 10], f[h + 10:h + 16], f[h + 16:h + 22]
    bssid = a3 if kind == 0 else {(0, 0): a3, (0, 1): a2, (1, 0): a1}.get((to_ds, from_ds)) if kind == 2 else None
    end = h + (30 if to_ds and from_ds else 24)
    snap = len(f) >= end + 8 and f[end:end + 6] == b"\xaa\xaa\x03\x00\x00\x00" and f[end + 6:end + 8] in (
        b"\x08\x00", b"\x86\xdd")
    return (dissect_ip(f[end + 8:]) if snap else None), a2, a1, bssid


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
        return [text(src), text(dst)]
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
    link, recs, error = read_capture(source.read_bytes())
    flows = {}
    for sec, usec, frame, orig, frame_link in recs:
        for key in keys(strategy, *dissect(frame, frame_link)):
            flows.setdefault(key, []).append((sec, usec, frame, orig))
    stem = name.rsplit(".", 1)[0]
    want = {f"{stem}_{k.replace('.', '_').replace(':', '_')}.pcap": pcap(v, link) for k, v in flows.items()}
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
