#!/usr/bin/env python3
"""Deterministic synthetic capture generator for the flowsieve benchmarks.

Standard library only. Sessions are built whole (as lists of Ethernet frames
with valid checksums) and a pool of concurrently active sessions is
interleaved packet by packet, so many flows overlap in time. The same seed
and arguments give the same packets in pcap and pcapng.

    python3 bench/gen_capture.py OUT --size-mb N --sessions S [--format pcap|pcapng] [--seed K] [--start SECONDS]
                                 [--vxlan VNI]

With --vxlan, every frame of the same traffic travels inside Ethernet/IPv4/UDP/VXLAN, as a cloud traffic mirror
delivers it: the same packets, each 50 bytes longer.
"""
import argparse
import itertools
import os
import random
import struct
import sys
import time

_pack = struct.pack
SYN, FIN, RST, PSH, ACK = 0x02, 0x01, 0x04, 0x08, 0x10
# MSS, NOP, window scale, SACK permitted, NOP, NOP: what a Linux SYN roughly carries.
SYN_OPTS = bytes.fromhex("020405b4010303070402 0101".replace(" ", ""))
REC = 16              # pcap record header; budgets count it for both formats so both carry the same packets
N_INTERNAL = 5000     # internal hosts; ids below N_LOCAL_SERVERS take inbound connections
N_LOCAL_SERVERS = 20
N_EXTERNAL = 3000     # external hosts (servers for outbound, clients for inbound)
OUT_PORTS = (443, 443, 443, 80, 80, 8080, 22, 993, 25)
IN_PORTS = (22, 443, 25, 3389)
RESOLVERS = 4         # external ids 0..3 answer DNS


def wsum(b):
    """Sum of big-endian 16-bit words (len(b) even)."""
    return sum(struct.unpack("!%dH" % (len(b) // 2), b))


def fold(s):
    # two folds suffice for s < 2**32, always true here
    s = (s & 0xFFFF) + (s >> 16)
    s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


SSH_BANNER = b"SSH-2.0-OpenSSH_9.6p1 Ubuntu-3ubuntu13\r\n"


def client_hello(name):
    """A TLS 1.3 ClientHello record of about 520 bytes with `name` as its server name."""
    entry = b"\0" + _pack("!H", len(name)) + name
    sni = _pack("!HHH", 0, len(entry) + 2, len(entry)) + entry
    versions = bytes.fromhex("002b0003020304")
    groups = bytes.fromhex("000a000400020017")
    share = _pack("!HHHHH", 51, 38, 36, 29, 32) + bytes(range(32))
    extensions = sni + versions + groups + share
    extensions += _pack("!HH", 21, max(0, 400 - len(extensions))) + bytes(max(0, 400 - len(extensions)))
    body = (b"\x03\x03" + bytes(range(32)) + b"\x20" + bytes(32) + bytes.fromhex("0006130113021303") + b"\x01\x00"
            + _pack("!H", len(extensions)) + extensions)
    message = b"\x01" + len(body).to_bytes(3, "big") + body
    return b"\x16\x03\x01" + _pack("!H", len(message)) + message


def http_request(name):
    return b"GET /index.html HTTP/1.1\r\nHost: " + name + b"\r\nUser-Agent: bench/1.0\r\nAccept: */*\r\n\r\n"


def dns_question(name, qtype):
    return b"".join(bytes([len(p)]) + p for p in name.split(b".")) + b"\0" + _pack("!HH", qtype, 1)


class Pool:
    """Payload bytes plus prefix sums of 16-bit words, so the checksum
    contribution of any even-offset slice costs O(1) instead of a pass."""
    SIZE = 1 << 18

    def __init__(self, rng):
        lines = [b"GET /static/%d/app.js HTTP/1.1\r\nHost: cdn%d.example.com\r\nAccept: */*\r\n\r\n" % (i, i % 7)
                 for i in range(4000)]
        text = b"".join(lines)[: self.SIZE // 2]
        self.data = text + rng.getrandbits(8 * (self.SIZE - len(text))).to_bytes(self.SIZE - len(text), "little")  # half text, half incompressible
        words = struct.unpack("!%dH" % (self.SIZE // 2), self.data)
        self.prefix = list(itertools.accumulate(words, initial=0))
        self.rng = rng

    def take(self, n):
        off = self.rng.randrange(0, self.SIZE - n) & ~1
        s = self.prefix[(off + n) >> 1] - self.prefix[off >> 1]
        if n & 1:
            s += self.data[off + n - 1] << 8
        return self.data[off:off + n], s


class Conn:
    """Both directions of one flow; index 0 is initiator -> responder."""
    __slots__ = ("v6", "l2", "addr", "port", "asum", "psum", "ipid", "win", "hdr")


class Gen:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.pool = Pool(self.rng)
        self.next_port = {}
        self.gw = [_pack("!HI", 0x001B, 0x21AA0000 + k) for k in range(4)]

    # --- addressing -------------------------------------------------------
    @staticmethod
    def vlan(h):
        # every 10th internal host sits on a tagged VLAN (10, 11 or 12)
        return 10 + (h // 10) % 3 if h % 10 == 0 else 0

    @staticmethod
    def internal_ip(h, v6):
        return b"\xfd\x00" + bytes(6) + _pack("!Q", h + 1) if v6 else _pack("!BBH", 10, 1, h + 1)

    @staticmethod
    def external_ip(j, v6):
        return b"\x20\x01\x0d\xb8" + bytes(8) + _pack("!I", j + 1) if v6 else _pack("!I", 0x5DB80000 + j * 7 + 1)

    @staticmethod
    def mac(h):
        return _pack("!HI", 0x0200, h + 1)

    def eth(self, dst, src, h, etype):
        v = self.vlan(h)
        return dst + src + (_pack("!HHH", 0x8100, v, etype) if v else _pack("!H", etype))

    def ephemeral(self, key):
        # sequential per host like an OS allocator, so 5-tuples do not repeat
        p = self.next_port.get(key) or self.rng.randint(32768, 50000)
        self.next_port[key] = p + 1 if p < 60999 else 32768
        return p

    def conn(self, v6, inbound, dport, ext=None):
        rng = self.rng
        c = Conn()
        c.v6 = v6
        h = rng.randrange(N_LOCAL_SERVERS) if inbound else rng.randrange(N_LOCAL_SERVERS, N_INTERNAL)
        j = rng.randrange(RESOLVERS, N_EXTERNAL) if ext is None else ext
        etype = 0x86DD if v6 else 0x0800
        gw = self.gw[self.vlan(h) % 4]
        out = self.eth(gw, self.mac(h), h, etype)    # frame leaving the internal host
        back = self.eth(self.mac(h), gw, h, etype)   # frame arriving from outside
        ia, ea = self.internal_ip(h, v6), self.external_ip(j, v6)
        if inbound:
            c.l2, c.addr, c.port = (back, out), (ea, ia), (self.ephemeral(("e", j)), dport)
        else:
            c.l2, c.addr, c.port = (out, back), (ia, ea), (self.ephemeral(("i", h)), dport)
        c.asum = wsum(ia) + wsum(ea)   # pseudo-header address sum is the same both ways
        c.psum = c.port[0] + c.port[1]
        c.ipid = [rng.getrandbits(16), rng.getrandbits(16)]
        c.win = (rng.choice((64240, 65160, 29200, 502)), rng.choice((65160, 28960, 64768, 501)))
        c.hdr = len(out) + (40 if v6 else 20)
        return c

    # --- frames -----------------------------------------------------------
    def ip(self, c, d, proto, l4):
        src, dst = c.addr[d], c.addr[1 - d]
        if c.v6:
            f = c.l2[d] + _pack("!IHBB", 0x60000000, len(l4), proto, 64) + src + dst + l4
        else:
            tl = 20 + len(l4)
            ipid = c.ipid[d] = (c.ipid[d] + 1) & 0xFFFF
            cs = fold(0x4500 + tl + ipid + 0x4000 + (64 << 8 | proto) + c.asum)
            f = c.l2[d] + _pack("!BBHHHBBH", 0x45, 0, tl, ipid, 0x4000, 64, proto, cs) + src + dst + l4
        return f if len(f) >= 60 else f + bytes(60 - len(f))

    def tcp(self, c, d, flags, seq, ack, n, opts=b"", data=None):
        if data is None:
            data, s = self.pool.take(n) if n else (b"", 0)
        else:
            s = wsum(data + b"\0" * (n & 1))
        hl = 20 + len(opts)
        offfl = (hl << 10) | flags       # data offset in 32-bit words, top 4 bits
        win = c.win[d]
        s += (c.asum + 6 + hl + n + c.psum + (seq >> 16) + (seq & 0xFFFF) + (ack >> 16) + (ack & 0xFFFF)
              + offfl + win + (wsum(opts) if opts else 0))
        return self.ip(c, d, 6, _pack("!HHIIHHHH", c.port[d], c.port[1 - d], seq, ack, offfl, win, fold(s), 0)
                       + opts + data)

    def udp(self, c, d, data, s):
        ln = 8 + len(data)
        cs = fold(s + c.asum + 17 + ln + ln + c.psum) or 0xFFFF
        return self.ip(c, d, 17, _pack("!HHHH", c.port[d], c.port[1 - d], ln, cs) + data)

    # --- sessions: each returns a list of frames --------------------------
    def tcp_session(self, budget):
        rng = self.rng
        inbound = rng.random() < 0.2      # some handshakes start from the outside
        c = self.conn(rng.random() < 0.25, inbound, rng.choice(IN_PORTS if inbound else OUT_PORTS))
        mss = 1514 - c.hdr - 20
        nxt = [rng.getrandbits(32), rng.getrandbits(32)]   # next sequence number per direction
        frames = []
        spent = 0

        def seg(d, flags, n=0, opts=b"", data=None):
            nonlocal spent
            f = self.tcp(c, d, flags, nxt[d], nxt[1 - d] if flags & ACK else 0, n, opts, data)
            nxt[d] = (nxt[d] + n + (1 if flags & (SYN | FIN) else 0)) & 0xFFFFFFFF
            frames.append(f)
            spent += len(f) + REC

        def send(d, n, first=b""):
            # Mostly full segments; receiver acks every second segment or sooner. `first`, the protocol's
            # opening bytes, goes whole in the first segment.
            unacked = 0
            while n > 0 or first:
                k = len(first) if first else min(n, mss if rng.random() < 0.85 else rng.randint(1, mss))
                n = max(0, n - k)
                seg(d, ACK | (PSH if n == 0 else 0), k, data=first or None)
                first = b""
                unacked += 1
                if unacked == 2 or rng.random() < 0.15:
                    seg(1 - d, ACK)
                    unacked = 0

        seg(0, SYN, opts=SYN_OPTS)
        seg(1, SYN | ACK, opts=SYN_OPTS)
        seg(0, ACK)
        # What real traffic opens with: a ClientHello with a server name, a request with a Host, a banner.
        opening = {443: client_hello, 80: http_request, 8080: http_request, 22: lambda name: SSH_BANNER}.get(c.port[1])
        first = opening(b"s%d.example.net" % rng.randrange(N_EXTERNAL)) if opening else b"" 
        close = 3 * (max(60, c.hdr + 20) + REC)
        while True:
            room = int((budget - close - spent) * 0.9)   # ~10% goes to headers and acks
            if room < 300 and len(frames) > 3:             # at least one exchange per session
                break
            room = max(room, 300)
            small = min(room, rng.randint(40, 600))
            big = min(max(room - small, 1), int(rng.expovariate(1.0 / max(300, room // 2))) + 1)
            if rng.random() < 0.2:        # upload: the initiator sends the bulk
                small, big = big, small
            send(0, small, first)
            send(1, big)
            first = b""
        if rng.random() < 0.05:
            seg(rng.getrandbits(1), RST | ACK)
        else:
            a = 0 if rng.random() < 0.6 else 1
            seg(a, FIN | ACK)
            seg(1 - a, FIN | ACK)
            seg(a, ACK)
        return frames

    def dns_session(self):
        rng = self.rng
        c = self.conn(rng.random() < 0.25, False, 53, ext=rng.randrange(RESOLVERS))
        frames = []
        for _ in range(1 if rng.random() < 0.8 else 2):   # sometimes A then AAAA on one socket
            ident = rng.getrandbits(16)
            question = dns_question(b"h%d.example.com" % rng.randrange(100000), rng.choice((1, 28)))
            for d, flags, an, n in ((0, 0x0100, 0, 0), (1, 0x8180, rng.randint(1, 4), rng.randint(40, 400))):
                head = _pack("!6H", ident, flags, 1, an, 0, 0) + question
                body, s = self.pool.take(n) if n else (b"", 0)
                head += b"\0" * (len(head) & 1)  # an even length, so that the body's sum still counts
                frames.append(self.udp(c, d, head + body, s + wsum(head)))
        return frames

    def udp_bulk_session(self, budget):
        # QUIC/RTP-like: a stream of large datagrams, a little feedback the other way
        rng = self.rng
        c = self.conn(rng.random() < 0.25, False, rng.choice((443, 443, 5004, 4500)))
        top = 1514 - c.hdr - 8
        d = 1 if rng.random() < 0.85 else 0
        frames, spent = [], 0
        while spent < budget:
            if frames and rng.random() < 0.12:
                f = self.udp(c, 1 - d, *self.pool.take(rng.randint(30, 80)))
            else:
                f = self.udp(c, d, *self.pool.take(rng.randint(900, top)))
            frames.append(f)
            spent += len(f) + REC
        return frames

    def ping_session(self):
        rng = self.rng
        v6 = rng.random() < 0.25
        c = self.conn(v6, False, 0)
        c.port = (0, 0)
        ident, frames = rng.getrandbits(16), []
        n = 56 if rng.random() < 0.9 else 1000
        for seqno in range(1, rng.randint(2, 5)):
            for d in (0, 1):
                data, s = self.pool.take(n)
                t = (128 + d) if v6 else (8 if d == 0 else 0)
                if v6:
                    s += c.asum + 58 + 8 + n   # ICMPv6 covers a pseudo-header
                cs = fold(s + (t << 8) + ident + seqno)
                frames.append(self.ip(c, d, 58 if v6 else 1, _pack("!BBHHH", t, 0, cs, ident, seqno) + data))
        return frames

    def arp_exchange(self):
        rng = self.rng
        h, t = rng.randrange(N_INTERNAL), rng.randrange(N_INTERNAL)
        hm, tm, hi, ti = self.mac(h), self.mac(t), self.internal_ip(h, False), self.internal_ip(t, False)
        req = self.eth(b"\xff" * 6, hm, h, 0x0806) + _pack("!HHBBH", 1, 0x0800, 6, 4, 1) + hm + hi + bytes(6) + ti
        rep = self.eth(hm, tm, h, 0x0806) + _pack("!HHBBH", 1, 0x0800, 6, 4, 2) + tm + ti + hm + hi
        return [f + bytes(max(0, 60 - len(f))) for f in (req, rep)]


def vxlan_wrapper(vni):
    """A function giving a frame's outer headers: Ethernet, IPv4 (checksummed), UDP to port 4789 (no checksum, as
    VTEPs send it) and VXLAN with the I flag and `vni`, from one mirror source to one target."""
    macs = bytes.fromhex("02000000fe02" "02000000fe01") + _pack("!H", 0x0800)
    src, dst = bytes([10, 255, 0, 1]), bytes([10, 255, 0, 2])
    vxlan = _pack("!II", 0x08000000, vni << 8)
    fixed = wsum(_pack("!BBHHHBB", 0x45, 0, 0, 0, 0x4000, 64, 17) + src + dst)

    def outer(frame):
        total = 20 + 8 + 8 + len(frame)
        ip = _pack("!BBHHHBBH", 0x45, 0, total, 0, 0x4000, 64, 17, fold(fixed + total)) + src + dst
        return macs + ip + _pack("!HHHH", 49152 + (len(frame) & 0x3FFF), 4789, total - 20, 0) + vxlan
    return outer


def generate(path, size_mb, sessions, fmt="pcap", seed=1, active=None, start=1_700_000_000, vxlan=None):
    g = Gen(seed)
    rng = g.rng
    target = size_mb * 1_000_000
    mean = target / max(1, sessions)        # bytes per TCP/UDP session
    p_dns, p_bulk = 0.35, 0.05
    dns_mean = 480                           # measured average of dns_session() incl. record headers
    big_mean = max(1.0, (mean - p_dns * dns_mean) / (1 - p_dns))
    floor = min(big_mean, 900)               # handshake + one exchange + close
    active = active or max(64, min(4096, sessions // 40))
    counts = {"tcp": 0, "udp": 0, "other": 0}
    committed = 0

    def new_session():
        nonlocal committed
        r = rng.random()
        if r < 0.01:
            frames, kind = g.arp_exchange(), "other"
        elif r < 0.025:
            frames, kind = g.ping_session(), "other"
        else:
            r = rng.random()
            # heavy tail (Pareto, alpha 1.8, mean 2.25): a few elephant flows among many mice
            budget = floor + (big_mean - floor) * rng.paretovariate(1.8) / 2.25
            if r < p_dns:
                frames, kind = g.dns_session(), "udp"
            elif r < p_dns + p_bulk:
                frames, kind = g.udp_bulk_session(budget), "udp"
            else:
                frames, kind = g.tcp_session(budget), "tcp"
        counts[kind] += 1
        committed += sum(map(len, frames)) + REC * len(frames)
        return iter(frames)

    pool = []
    while committed < target and len(pool) < active:
        pool.append(new_session())

    tmp = path + ".part"   # renamed at the end so a cache never holds a truncated file
    f = open(tmp, "wb")
    if fmt == "pcap":
        f.write(_pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    else:
        f.write(_pack("<IIIHHqI", 0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0, -1, 28))   # section header
        f.write(_pack("<IIHHII", 1, 20, 1, 0, 65535, 20))                      # interface: Ethernet, microseconds
    pads = [bytes(i) for i in range(4)]
    buf = bytearray()
    ts = start * 1_000_000                   # microseconds
    packets = 0
    outer = vxlan_wrapper(vxlan) if vxlan is not None else None
    randrange, getrandbits = rng.randrange, rng.getrandbits
    while pool:
        i = randrange(len(pool))
        frame = next(pool[i], None)
        if frame is None:
            if committed < target:
                pool[i] = new_session()
            else:
                pool[i] = pool[-1]
                pool.pop()
            continue
        ts += 1 + getrandbits(5)
        if outer:
            frame = outer(frame) + frame
        n = len(frame)
        if fmt == "pcap":
            buf += _pack("<IIII", ts // 1_000_000, ts % 1_000_000, n, n)
            buf += frame
        else:
            pad = -n & 3
            blen = 32 + n + pad
            buf += _pack("<IIIIIII", 6, blen, 0, ts >> 32, ts & 0xFFFFFFFF, n, n)
            buf += frame
            buf += pads[pad]
            buf += _pack("<I", blen)
        packets += 1
        if len(buf) >= 1 << 23:
            f.write(buf)
            buf = bytearray()
    f.write(buf)
    f.close()
    os.replace(tmp, path)
    return packets, counts


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out")
    ap.add_argument("--size-mb", type=float, required=True, help="approximate capture size (10^6 bytes)")
    ap.add_argument("--sessions", type=int, required=True, help="approximate number of TCP/UDP sessions")
    ap.add_argument("--format", choices=("pcap", "pcapng"), default="pcap")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--active", type=int, help="concurrently active sessions (default: sessions/40, 64..4096)")
    ap.add_argument("--start", type=int, default=1_700_000_000, help="time of the first packet, seconds since the epoch")
    ap.add_argument("--vxlan", type=int, metavar="VNI", help="wrap every frame in Ethernet/IPv4/UDP/VXLAN with this VNI")
    a = ap.parse_args()
    if a.vxlan is not None and not 0 <= a.vxlan < 1 << 24:
        ap.error("--vxlan: a VNI is 0 to 16777215")
    t0 = time.perf_counter()
    packets, counts = generate(a.out, a.size_mb, a.sessions, a.format, a.seed, a.active, a.start, a.vxlan)
    print("%s: %.1f MB, %d packets, %d sessions (tcp %d, udp %d; plus %d arp/icmp exchanges), %.1f s"
          % (a.out, os.path.getsize(a.out) / 1e6, packets, counts["tcp"] + counts["udp"], counts["tcp"],
             counts["udp"], counts["other"], time.perf_counter() - t0))


if __name__ == "__main__":
    sys.exit(main())
