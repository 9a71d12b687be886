"""Server names and applications of flows: against tshark's names on the public captures, on QUIC Initials that
aioquic makes, and on hostile bytes."""
import ipaddress
import json
import os
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import flowsieve
from capwriter import eth, ipv4, pcap, tcp, udp

INSIDE = Path(__file__).resolve().parents[2].parent / "shared" / "captures" / "inside"
NAME_FIELDS = ["tls.handshake.extensions_server_name", "http.host", "dns.qry.name"]


def endpoints(proto, a, a_port, b, b_port):
    return proto, frozenset({(ipaddress.ip_address(a), int(a_port)), (ipaddress.ip_address(b), int(b_port))})


def tshark_names(source):
    """{flow endpoints: the first name tshark shows in the flow}, of the innermost IP layer; HTTP hosts without port."""
    fields = ["frame.protocols", "ip.src", "ip.dst", "ipv6.src", "ipv6.dst", "tcp.srcport", "tcp.dstport",
              "udp.srcport", "udp.dstport", *NAME_FIELDS]
    out = subprocess.run(["tshark", "-r", str(source), "-T", "fields", "-E", "separator=|",
                          *[a for f in fields for a in ("-e", f)]],
                         capture_output=True, text=True, check=True, timeout=120).stdout
    names = {}
    for line in out.splitlines():
        protocols, s4, d4, s6, d6, tsp, tdp, usp, udp_, sni, host, query = [v.split(",") for v in line.split("|")]
        inner_v6 = protocols[0].rfind(":ipv6") > protocols[0].rfind(":ip:")
        src, dst = (s6, d6) if inner_v6 else (s4, d4)
        if not src[-1] or not (tsp[-1] or usp[-1]):
            continue
        key = endpoints(6 if tsp[-1] else 17, src[-1], tsp[-1] or usp[-1], dst[-1], tdp[-1] or udp_[-1])
        name = sni[0] or host[0].rsplit(":", 1)[0] if (sni[0] or host[0]) else query[0]
        if name and name != "<Root>":
            names.setdefault(key, name)
    return names


@pytest.mark.skipif(not INSIDE.is_dir() or not shutil.which("tshark"), reason="needs the capture corpus and tshark")
@pytest.mark.parametrize("capture, apps", [
    ("zeek_chrome-34-google.pcap", {"tls"}), ("zeek_dhe.pcap", {"tls"}), ("zeek_client-certificate.pcap", {"tls"}),
    ("zeek_get.pcap", {"http"}), ("zeek_pipelined-requests.pcap", {"http"}), ("zeek_dns53.pcap", {"dns"}),
    ("zeek_mdns.pcap", {"dns"}), ("zeek_curl-8.1.2-dev-http3-www-google-de.pcap", {"quic"}),
    ("zeek_quicv2-http3-443.pcap", {"quic"}), ("zeek_single-conn.pcap", {"ssh"}),
    ("zeek_vxlan-encapsulated-http.pcap", {"http"}), ("zeek_gre-sample.pcap", None), ("zeek_gtp7_ipv6.pcap", None),
])
def test_names_are_those_tshark_shows(tmp_path, capture, apps):
    archive = tmp_path / "a.fsieve"
    flowsieve.create_archive(str(INSIDE / capture), str(archive), tunnels="inner")
    a = flowsieve.Archive.open(str(archive))
    flows = a.flows()
    got = {}
    for f in flows:
        got.setdefault(endpoints(f.proto, f.src_addr, f.src_port, f.dst_addr, f.dst_port), f.server_name)
    assert {k: v for k, v in got.items() if v} == tshark_names(INSIDE / capture)
    if apps is not None:
        assert {f.app for f in flows if f.app} == apps
        assert len(a.find(app=sorted(apps)[0])) == sum(f.app in apps for f in flows)


def client_hello(name=None, pad=0, lie=0, list_lie=0):
    """A TLS ClientHello record with a server_name extension of `name` (bytes), a padding extension of `pad` bytes;
    `lie` and `list_lie` add to the extensions' and the server name list's stated lengths."""
    extensions = b""
    if name is not None:
        entry = b"\x00" + len(name).to_bytes(2, "big") + name
        names = (len(entry) + list_lie).to_bytes(2, "big") + entry
        extensions += b"\x00\x00" + len(names).to_bytes(2, "big") + names
    if pad:
        extensions += b"\x00\x15" + pad.to_bytes(2, "big") + bytes(pad)
    body = (b"\x03\x03" + bytes(32) + b"\x00" + b"\x00\x02\x13\x01" + b"\x01\x00"
            + (len(extensions) + lie).to_bytes(2, "big") + extensions)
    message = b"\x01" + len(body).to_bytes(3, "big") + body
    return b"\x16\x03\x01" + len(message).to_bytes(2, "big") + message


def records_of(message, size):
    """A handshake message cut into TLS records of `size` bytes each."""
    body = message[5:]
    return b"".join(b"\x16\x03\x03" + len(body[i:i + size]).to_bytes(2, "big") + body[i:i + size]
                    for i in range(0, len(body), size))


def dns_query(name_bytes, questions=1, tcp=False):
    message = b"\x12\x34\x01\x00" + questions.to_bytes(2, "big") + bytes(6) + name_bytes + b"\x00\x01\x00\x01"
    return len(message).to_bytes(2, "big") + message if tcp else message


def labels(*parts):
    return b"".join(bytes([len(p)]) + p for p in parts) + b"\x00"


HELLO = client_hello(b"a.example.com")
BIG = client_hello(b"pq.example.com", pad=5000)  # a post-quantum key share's size: four segments
LONG_NAME = b"n" * 251 + b".com"


# Each row: protocol, server port, [(from the client, payload, offset in its direction or None for the next)],
# the expected (app, server_name).
@pytest.mark.parametrize("proto, port, packets, expected", [
    ("tcp", 443, [(1, HELLO, None)], ("tls", "a.example.com")),
    ("tcp", 8443, [(1, BIG[i:i + 1400], None) for i in range(0, len(BIG), 1400)], ("tls", "pq.example.com")),
    ("tcp", 443, [(1, BIG[1400:2800], 1400), (1, BIG[:1400], 0), (0, b"\x16\x03\x03\x00\x02ok", None),
                  (1, BIG[1400:], 1400)], ("tls", "pq.example.com")),  # a segment ahead, then sent again
    ("tcp", 443, [(1, records_of(HELLO, 30), None)], ("tls", "a.example.com")),
    ("tcp", 443, [(1, client_hello(LONG_NAME), None)], ("tls", LONG_NAME.decode())),
    ("tcp", 443, [(1, client_hello(b"a\x01b.example\xff"), None)], ("tls", "a\\x01b.example\\xff")),
    ("tcp", 443, [(1, client_hello(b"x" * 256), None)], ("tls", None)),
    ("tcp", 443, [(1, client_hello(b"lie.example.com", lie=7), None)], ("tls", None)),
    ("tcp", 443, [(1, client_hello(b"lie.example.com", list_lie=-1), None)], ("tls", None)),
    ("tcp", 443, [(1, client_hello(b"lie.example.com", list_lie=40), None)], ("tls", None)),
    ("tcp", 443, [(1, HELLO[:60], None)], ("tls", None)),  # cut short
    ("tcp", 443, [(1, b"\x16\x03\x01\xff\xff" + HELLO[5:], None)], (None, None)),  # a record longer than TLS allows
    ("tcp", 443, [(1, b"hello world, this is not TLS", None)], (None, None)),
    ("tcp", 1234, [(1, b"GET /x HTTP/1.1\r\nHost: api.example.com:8080\r\nAccept: */*\r\n\r\n", None)],
     ("http", "api.example.com")),
    ("tcp", 80, [(1, b"POST / HTTP/1.1\r\nUser-Agent: t\r\n", None), (1, b"hOsT:  [2001:db8::1]:81 \r\n\r\n", None)],
     ("http", "2001:db8::1")),
    ("tcp", 80, [(1, b"GET /\r\n\r\n", None)], (None, None)),
    ("tcp", 80, [(1, b"SSH-2.0-OpenSSH_9.6\r\n", None)], ("ssh", None)),
    ("tcp", 2222, [(0, b"SSH-2.0-server\r\n", None), (1, b"SSH-2.0-client\r\n", None)], ("ssh", None)),
    ("tcp", 6881, [(1, b"\x13BitTorrent protocol" + bytes(48), None)], ("bittorrent", None)),
    ("tcp", 53, [(1, dns_query(labels(b"x", b"example", b"org"), tcp=True), None)], ("dns", "x.example.org")),
    ("tcp", 53, [(1, dns_query(labels(b"x", b"example", b"org"), tcp=True)[:1], None),
                 (1, dns_query(labels(b"x", b"example", b"org"), tcp=True)[1:], None)], ("dns", "x.example.org")),
    ("udp", 9999, [(1, dns_query(labels(b"x", b"example", b"org")), None)], ("dns", "x.example.org")),
    ("udp", 5353, [(1, dns_query(labels(b"_ipp", b"_tcp", b"local") + b"\x00\x0c\x80\x01" + b"\xc0\x0c", 2), None)],
     ("dns", "_ipp._tcp.local")),
    ("udp", 53, [(1, dns_query(b"\x28abc"), None)], (None, None)),  # a label past the end
    ("udp", 53, [(1, dns_query(b"\xc0\x0c"), None)], (None, None)),  # a pointer with nothing before it
    ("udp", 53, [(1, dns_query(labels(b"a" * 63, b"b" * 63, b"c" * 63, b"d" * 63)), None)], (None, None)),  # 256
    ("udp", 53, [(1, bytes(range(40)), None)], (None, None)),
    ("udp", 443, [(1, b"\xc3\x00\x00\x00\x01\x08" + bytes(8) + b"\x00\x00\x41\x20" + bytes(300), None)],
     ("quic", None)),  # an Initial that does not decrypt
])
def test_crafted_and_hostile_payloads(tmp_path, proto, port, packets, expected):
    frames, next_at = [], {0: 0, 1: 0}
    for from_client, payload, offset in packets:
        at = next_at[from_client] if offset is None else offset
        next_at[from_client] = max(next_at[from_client], at + len(payload))
        ends = (("10.0.0.1", 40000, "10.0.0.2", port) if from_client else ("10.0.0.2", port, "10.0.0.1", 40000))
        inner = (tcp(ends[1], ends[3], payload, seq=(1000 if from_client else 5000) + at) if proto == "tcp"
                 else udp(ends[1], ends[3], payload))
        frames.append(eth(ipv4(ends[0], ends[2], 6 if proto == "tcp" else 17, inner)))
    first_from_client = [eth(ipv4("10.0.0.1", "10.0.0.2", 6, tcp(40000, port, flags=0x02, seq=999)))]
    source = tmp_path / "c.pcap"
    source.write_bytes(pcap((first_from_client if proto == "tcp" else []) + frames))
    flowsieve.create_archive(str(source), str(tmp_path / "a.fsieve"))
    flow, = flowsieve.Archive.open(str(tmp_path / "a.fsieve")).flows()
    assert (flow.app, flow.server_name) == expected


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize("order, libcrypto", [("in order", True), ("reversed", True), ("in order", False)])
def test_quic_initials_name_their_flow(tmp_path, version, order, libcrypto):
    """A client's Initial packets as aioquic makes them, a ClientHello long enough for three of them. Without a
    libcrypto that loads (one that is not a library comes first in the search path), the flow is QUIC without a
    name."""
    quic = pytest.importorskip("aioquic.quic.connection")
    from aioquic.quic.configuration import QuicConfiguration
    from aioquic.quic.packet import QuicProtocolVersion
    config = QuicConfiguration(is_client=True, server_name=f"v{version}.quic.example.net",
                               alpn_protocols=["h3"] + ["x" * 200 + str(i) for i in range(12)])
    config.supported_versions = [QuicProtocolVersion.VERSION_1 if version == 1 else QuicProtocolVersion.VERSION_2]
    connection = quic.QuicConnection(configuration=config)
    connection.connect(("10.0.0.2", 443), now=0)
    datagrams = [d for d, _ in connection.datagrams_to_send(now=0)]
    assert len(datagrams) == 3
    if order == "reversed":
        datagrams.reverse()
    source = tmp_path / "q.pcap"
    source.write_bytes(pcap([eth(ipv4("10.0.0.1", "10.0.0.2", 17, udp(50000, 443, d))) for d in datagrams]))
    if libcrypto:
        flowsieve.create_archive(str(source), str(tmp_path / "a.fsieve"))
    else:
        (tmp_path / "lib").mkdir()
        (tmp_path / "lib" / "libcrypto.so.3").write_bytes(b"")
        subprocess.run(["flowsieve", "archive", "-q", str(source), str(tmp_path / "a.fsieve")], check=True,
                       env={**os.environ, "LD_LIBRARY_PATH": str(tmp_path / "lib")})
    flow, = flowsieve.Archive.open(str(tmp_path / "a.fsieve")).flows()
    assert (flow.app, flow.server_name) == ("quic", f"v{version}.quic.example.net" if libcrypto else None)


@pytest.mark.skipif(not INSIDE.is_dir(), reason="the shared capture corpus is not beside this checkout")
def test_names_are_queried_on_every_surface(tmp_path):
    folder = tmp_path / "store"
    folder.mkdir()
    sources = {"a": "zeek_chrome-34-google.pcap", "b": "zeek_curl-8.1.2-dev-http3-www-google-de.pcap",
               "c": "zeek_get.pcap"}
    for stem, capture in sources.items():
        flowsieve.create_archive(str(INSIDE / capture), str(folder / f"{stem}.fsieve"))
    a = flowsieve.Archive.open(str(folder / "a.fsieve"))
    assert [f.server_name for f in a.find(name="GOOGLE.de", app="TLS")] == ["google.de"]
    assert a.find(name="*.google.de") == [] and a.find(app="quic") == []
    store = flowsieve.Store(str(folder))
    assert sorted(f.server_name for f in store.find(name=["*.google.de", "bro.org"])) == ["bro.org", "www.google.de"]
    assert [f.app for f in store.find(name="*.google.de")] == ["quic"]
    with pytest.raises(ValueError, match="app must be one of"):
        store.find(app="ftp")
    listed = subprocess.run(["flowsieve", "flows", str(folder), "--name", "*.google.de", "--name", "google.de",
                             "-f", "json"], capture_output=True, text=True, check=True).stdout
    assert sorted((j["app"], j["server_name"]) for j in map(json.loads, listed.splitlines())) == [
        ("quic", "www.google.de"), ("tls", "google.de")]
    subprocess.run(["flowsieve", "export", str(folder), "--app", "http", "--name", "bro.org", "--merge",
                    "-o", str(tmp_path / "http.pcap")], check=True)
    exported = flowsieve.Archive.open(str(folder / "c.fsieve")).find(app="http")[0].packet_count
    assert len(flowsieve.read_flows(str(tmp_path / "http.pcap")).get_flow(1).packets()) == exported
    # The arrays of a capture judge its flows as its archive did.
    pytest.importorskip("pandas")  # and NumPy, which the arrays need
    for source in (str(INSIDE / sources["b"]), a):
        arrays = flowsieve.flow_arrays(source, packets=0)
        flows = (a if source is a else flowsieve.Archive.open(str(folder / "b.fsieve"))).flows()
        assert list(arrays.server_name) == [f.server_name or "" for f in flows]
        assert list(arrays.frame()["app"]) == [f.app or "" for f in flows]


LONG_LABELS = b".".join([b"l" * 62] * 4)  # 251 bytes
INDEXED_NAMES = [b"WWW.Example.COM", b"example.com", b"a.b.example.com", b"xexample.com", b"example.com.evil.net",
                 b"a\x01b.example.com", b"n.com", LONG_LABELS]
NAME_PATTERNS = ["example.com", "EXAMPLE.COM", "*.example.com", "*.Example.Com", "*.com", "xexample.com",
                 "*.xexample.com", "*.evil.net", "a\\x01b.example.com", "*.b.example.com", LONG_LABELS.decode(),
                 "*." + LONG_LABELS.decode()[63:], "nothing.example", "*.", "*"]


def damaged_index(raw, how):
    """The archive with its name index left out of the footer (as archives written before it), its keys out of
    order, or its stated length a key short: each is read as an archive without one."""
    names_off, names_len = struct.unpack_from("<QQ", raw, len(raw) - 128 + 104)
    assert names_off and names_len > 8 + 32
    raw = bytearray(raw)
    if how == "absent":
        raw[-128 + 104:-128 + 120] = bytes(16)
    elif how == "keys out of order":
        count = struct.unpack_from("<I", raw, names_off)[0]
        keys = names_off + 8
        raw[keys:keys + 8 * count] = b"".join(reversed([raw[keys + 8 * i:keys + 8 * i + 8] for i in range(count)]))
    else:
        struct.pack_into("<Q", raw, len(raw) - 128 + 112, names_len - 8)
    return bytes(raw)


@pytest.mark.parametrize("index, copies", [("written", 1), ("written", 9), ("absent", 1), ("keys out of order", 1),
                                           ("cut short", 1)])
def test_the_name_index_finds_each_pattern_flows(tmp_path, index, copies):
    """Patterns match ignoring case, "*.d" every name below d: through the name index as when each flow's name is
    read. Each name given to `copies` flows."""
    frames = [eth(ipv4("10.0.0.1", "10.0.0.2", 17, udp(40000 + i, 53, dns_query(labels(*n.split(b"."))))))
              for i, n in enumerate(INDEXED_NAMES * copies)]
    (tmp_path / "c.pcap").write_bytes(pcap(frames))
    archive = tmp_path / "a.fsieve"
    flowsieve.create_archive(str(tmp_path / "c.pcap"), str(archive))
    if index != "written":
        archive.write_bytes(damaged_index(archive.read_bytes(), index))
    else:  # every (key, flow) pair in order, which a reader would otherwise pass over for the flows' fields
        raw = archive.read_bytes()
        names_off = struct.unpack_from("<Q", raw, len(raw) - 128 + 104)[0]
        count = struct.unpack_from("<I", raw, names_off)[0]
        pairs = list(zip(*(struct.unpack_from(f"<{count}Q", raw, names_off + 8 + 8 * count * i) for i in (0, 1))))
        assert pairs == sorted(set(pairs))
    a = flowsieve.Archive.open(str(archive))
    names = {f.id: f.server_name for f in a.flows()}
    assert sorted(names.values()) == sorted(n.decode().replace("\x01", "\\x01") for n in INDEXED_NAMES * copies)

    def matching(pattern):
        below = pattern[1:].lower() if pattern.startswith("*.") else None
        return sorted(i for i, n in names.items() if (n.lower().endswith(below) and len(n) > len(below)
                                                       if below else n.lower() == pattern.lower()))
    assert {p: sorted(f.id for f in a.find(name=p)) for p in NAME_PATTERNS} == {p: matching(p) for p in NAME_PATTERNS}
    assert sorted(f.id for f in a.find(name=["nothing.example", "*.evil.net", "n.com"])) == sorted(
        matching("*.evil.net") + matching("n.com"))
