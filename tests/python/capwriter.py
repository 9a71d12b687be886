"""Builds small Ethernet/IPv4/IPv6 frames and writes them as classic pcap or pcapng bytes."""
import ipaddress
import struct

MAC_A, MAC_B, MAC_C = (bytes.fromhex(f"02000000000{c}") for c in "abc")
BROADCAST = b"\xff" * 6
T0 = 1_600_000_000


def ip_bytes(text):
    return ipaddress.ip_address(text).packed


def eth(payload, ethertype=0x0800, src=MAC_A, dst=MAC_B, vlan=None):
    tag = b"" if vlan is None else struct.pack("!HH", 0x8100, vlan)
    return dst + src + tag + struct.pack("!H", ethertype) + payload


def ipv4(src, dst, proto, payload, options=b"", ident=1, fragment=0):
    """fragment is the flags and fragment offset field."""
    ihl = 5 + len(options) // 4
    header = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, 20 + len(options) + len(payload), ident, fragment, 64, proto,
                         0, ip_bytes(src), ip_bytes(dst))
    return header + options + payload


def ipv6(src, dst, next_header, payload):
    return struct.pack("!IHBB16s16s", 0x60000000, len(payload), next_header, 64, ip_bytes(src), ip_bytes(dst)) + payload


SYN, FIN, RST, PSH_ACK, ACK = 0x02, 0x01, 0x04, 0x18, 0x10


def tcp(sport, dport, payload=b"", options=b"", seq=1, flags=PSH_ACK, ack=0):
    offset = (5 + len(options) // 4) << 4
    return struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack, offset, flags, 8192, 0, 0) + options + payload


def udp(sport, dport, payload=b""):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def udp_fragments(src, dst, sport, dport, payload, size=16, ident=7):
    """A UDP datagram cut into IP fragments of `size` bytes (a multiple of 8), as Ethernet frames in order, and the
    bytes of the UDP payload that each one carries."""
    v6, datagram, frames, pieces = ":" in src, udp(sport, dport, payload), [], []
    for at in range(0, len(datagram), size):
        piece, more = datagram[at:at + size], at + size < len(datagram)
        if v6:  # at is a multiple of 8, so at == (at // 8) << 3
            frames.append(eth(ipv6(src, dst, 44, struct.pack("!BBHI", 17, 0, at | more, ident) + piece), 0x86DD))
        else:
            frames.append(eth(ipv4(src, dst, 17, piece, ident=ident, fragment=0x2000 * more | at // 8)))
        pieces.append(piece[8:] if at == 0 else piece)
    return frames, pieces


def arp(src_mac=MAC_A, src_ip="10.0.0.1", dst_ip="10.0.0.2"):
    body = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + src_mac + ip_bytes(src_ip) + bytes(6) + ip_bytes(dst_ip)
    return eth(body, 0x0806, src_mac, BROADCAST)


def packet(src, dst, proto="tcp", sport=0, dport=0, payload=b"", smac=MAC_A, dmac=MAC_B, vlan=None, raw=False,
           seq=1, flags=PSH_ACK):
    """One TCP, UDP or ICMP frame; the IP version follows the address text, raw=True leaves out Ethernet."""
    v6 = ":" in src
    if proto == "tcp":
        number, l4 = 6, tcp(sport, dport, payload, seq=seq, flags=flags)
    elif proto == "udp":
        number, l4 = 17, udp(sport, dport, payload)
    else:
        number, l4 = (58 if v6 else 1), struct.pack("!BBHHH", 8, 0, 0, 1, 1) + payload  # echo request
    frame = ipv6(src, dst, number, l4) if v6 else ipv4(src, dst, number, l4)
    return frame if raw else eth(frame, 0x86DD if v6 else 0x0800, smac, dmac, vlan)


def records(items):
    """Normalises frames or (ts_sec, ts_usec, frame[, orig_len]) tuples to (sec, usec, frame, orig_len)."""
    out = []
    for i, item in enumerate(items):
        if isinstance(item, (bytes, bytearray)):
            item = (T0 + i, 1000 * i + 7, bytes(item))
        sec, usec, frame = item[:3]
        out.append((sec, usec, frame, item[3] if len(item) > 3 else len(frame)))
    return out


def pcap(items, linktype=1, order="<", nano=False):
    """Classic pcap; with the defaults, byte for byte what flowsieve writes for each flow."""
    out = [struct.pack(order + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype)]
    for sec, usec, frame, orig in records(items):
        out.append(struct.pack(order + "IIII", sec, usec * 1000 + 999 if nano else usec, len(frame), orig) + frame)
    return b"".join(out)


def written(items, links=(1,), snap=65535, nano=False):
    """What flowsieve writes for a flow of (sec, fraction, frame, orig_len, link type) records from a capture whose
    frames are of `links` with this snap length and precision (the fraction in ns when nano, else in us): classic
    pcap for one link type, pcapng with an interface per link type otherwise."""
    if len(links) == 1:
        out = [struct.pack("<IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, snap, links[0])]
        out += [struct.pack("<4I", sec, frac, len(frame), orig) + frame for sec, frac, frame, orig, _ in items]
        return b"".join(out)
    tsresol = struct.pack("<HHB3x", 9, 1, 9) + bytes(4) if nano else b""
    out = [block("<", 0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
    out += [block("<", 1, struct.pack("<HHI", link, 0, snap) + tsresol) for link in links]
    for sec, frac, frame, orig, link in items:
        ticks = sec * (10**9 if nano else 10**6) + frac
        iface = links.index(link) if link in links else 0
        out.append(block("<", 6, struct.pack("<5I", iface, ticks >> 32, ticks & 0xFFFFFFFF, len(frame), orig) + frame))
    return b"".join(out)


def block(order, block_type, body):
    body += bytes(-len(body) % 4)
    return struct.pack(order + "II", block_type, len(body) + 12) + body + struct.pack(order + "I", len(body) + 12)


def pcapng(items, linktype=1, order="<", tsresol=None):
    """One section with one interface (if_tsresol = 10**-tsresol when given) and an EPB per record."""
    out = [block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1))]
    options = b"" if tsresol is None else struct.pack(order + "HHB3x", 9, 1, tsresol) + bytes(4)
    out.append(block(order, 1, struct.pack(order + "HHI", linktype, 0, 65535) + options))
    tps = 10 ** (6 if tsresol is None else tsresol)
    for sec, usec, frame, orig in records(items):
        ticks = sec * tps + usec * tps // 10**6
        out.append(block(order, 6, struct.pack(order + "IIIII", 0, ticks >> 32, ticks & 0xFFFFFFFF, len(frame), orig)
                         + frame))
    return b"".join(out)
