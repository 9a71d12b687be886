"""Inner mode against tshark: each frame goes to the session of its innermost IP layer and transport ports, under the VNI
of its innermost VXLAN or GENEVE header, as tshark decodes the frame."""
import importlib.util
import ipaddress
import json
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import flowsieve
from capwriter import MAC_A, MAC_B, MAC_C, eth, ip_bytes, ipv4, ipv6, pcap, tcp, udp, udp_fragments
from test_captures import keys, read_capture

INSIDE = Path(__file__).resolve().parents[2].parent / "shared" / "captures" / "inside"
TUNNEL_CAPTURES = ["zeek_vxlan.pcap", "zeek_vxlan-encapsulated-http.pcap", "zeek_geneve.pcap", "zeek_geneve-ipv6.pcap",
                   "zeek_gre-sample.pcap", "zeek_gre-erspan3-dot1q.pcap", "zeek_gtp7_ipv6.pcap",
                   "zeek_gtp_ext_header.pcap", "zeek_4in4.pcap", "zeek_6in4.pcap", "zeek_4in6.pcap",
                   "../pcapplusplus_GrePackets.cap"]  # PPTP: GRE version 1 carrying PPP
FIELDS = ["frame.protocols", "ip.src", "ip.dst", "ip.proto", "ip.id", "ip.flags.mf", "ip.frag_offset", "ipv6.src",
          "ipv6.dst", "tcp.srcport", "tcp.dstport", "udp.srcport", "udp.dstport", "vxlan.vni", "geneve.vni"]


def vxlan(vni, frame, src="192.0.2.1", dst="192.0.2.2", sport=40000):
    return eth(ipv4(src, dst, 17, udp(sport, 4789, struct.pack("!II", 0x08000000, vni << 8) + frame)), src=MAC_C)


def geneve(vni, payload, kind=0x6558, options=b""):
    header = struct.pack("!BBHI", len(options) // 4, 0, kind, vni << 8) + options
    return eth(ipv4("198.51.100.1", "198.51.100.2", 17, udp(50000, 6081, header + payload)), src=MAC_C)


def gre(payload, kind, flags=0, extra=b"", outer_proto=47):
    return eth(ipv4("203.0.113.1", "203.0.113.2", outer_proto, struct.pack("!HH", flags, kind) + extra + payload))


def gtp_u(payload, sport=2152, dport=2152):
    header = struct.pack("!BBHIHBB", 0x34, 0xFF, len(payload) + 8, 0x1234, 0, 0, 0x85)  # one extension header
    return eth(ipv4("10.200.0.1", "10.200.0.2", 17, udp(sport, dport, header + b"\x01\x09\x00\x00" + payload)))


def generated():
    inner_tcp = [eth(ipv4("10.0.1.5", "10.0.2.7", 6, tcp(51000, 443, b"x" * n))) for n in (0, 10, 20)]
    inner_reply = eth(ipv4("10.0.2.7", "10.0.1.5", 6, tcp(443, 51000, b"ok")))
    fragments, _ = udp_fragments("10.0.1.5", "10.0.2.7", 5353, 53, b"q" * 40)
    frames = [vxlan(101, f) for f in inner_tcp] + [vxlan(202, f) for f in inner_tcp]  # one address space, two VNIs
    frames += [vxlan(101, inner_reply), geneve(0, vxlan(303, inner_tcp[1]))]  # GENEVE around VXLAN
    frames += [vxlan(101, f) for f in fragments]  # inner fragments
    frames += [eth(ipv4("192.0.2.1", "192.0.2.2", 17, udp(40000, 4789, b"\x08\x00\x00")))]  # a cut VXLAN header
    frames += [geneve(7, ipv6("2001:db8::1", "2001:db8::2", 17, udp(1000, 2000, b"six")), 0x86DD, b"\x01\x02\x03\x04")]
    frames += [gre(ipv4("10.9.0.1", "10.9.0.2", 17, udp(7, 9)), 0x0800, 0xB000, b"\x00" * 12)]  # checksum, key, sequence
    erspan2 = struct.pack("!II", 0x10000001, 0)
    frames += [gre(erspan2 + inner_tcp[0], 0x88BE, 0x1000, b"\x00\x00\x00\x01")]
    ppp = b"\xff\x03\x00\x21" + ipv4("172.16.0.1", "172.16.0.2", 6, tcp(1723, 3000, b"pptp"))
    frames += [gre(ppp, 0x880B, 0x3001, struct.pack("!HHI", len(ppp), 9, 1))]  # version 1, key and sequence
    frames += [eth(ipv4("203.0.113.1", "203.0.113.2", 17, udp(1, 4754, struct.pack("!HH", 0, 0x86DD)
                                                               + ipv6("2001:db8::5", "2001:db8::6", 6, tcp(8, 80)))))]
    frames += [gtp_u(ipv4("10.45.0.2", "8.8.8.8", 17, udp(33000, 53, b"dns"))),
               gtp_u(ipv4("8.8.8.8", "10.45.0.2", 17, udp(53, 33000, b"ans")), dport=40000)]
    frames += [eth(ipv6("2001:db8::a", "2001:db8::b", 4, ipv4("10.1.1.1", "10.1.1.2", 6, tcp(1, 2))), 0x86DD)]
    return pcap([(1_600_000_000 + i, 0, f, len(f)) for i, f in enumerate(frames)])


def tshark_sessions(path):
    """{expected file key: [frame index]} from tshark's last IP layer, the ports right after it and the last VNI;
    protocols inside an ICMP error stay unread, as flowsieve reads none there. A later IP fragment goes where its
    datagram's first fragment went, be that datagram the innermost or a tunnel's outer one."""
    out = subprocess.run(["tshark", "-r", str(path), "-o", "ip.defragment:FALSE", "-o", "ipv6.defragment:FALSE",
                          "-T", "fields", "-E", "separator=|", "-E", "occurrence=a", "-E", "aggregator=;",
                          *[a for f in FIELDS for a in ("-e", f)]],
                         capture_output=True, text=True, check=True, timeout=120).stdout
    sessions, firsts = {}, {}
    for index, line in enumerate(out.splitlines()):
        row = dict(zip(FIELDS, [v.split(";") if v else [] for v in line.split("|")]))
        layers = row["frame.protocols"][0].split(":")
        layers = layers[:next((i for i, p in enumerate(layers) if p in ("icmp", "icmpv6")), len(layers)) + 1]
        count = lambda name, upto=len(layers): layers[:upto].count(name)
        last_ip = max((i for i, p in enumerate(layers) if p in ("ip", "ipv6")), default=None)
        key = None
        if last_ip is not None:
            v4 = layers[last_ip] == "ip"
            family, n = ("ip", count("ip")) if v4 else ("ipv6", count("ipv6"))
            src, dst = row[family + ".src"][n - 1], row[family + ".dst"][n - 1]
            after = layers[last_ip + 1] if last_ip + 1 < len(layers) else ""
            proto = {"tcp": 6, "udp": 17, "icmp": 1, "icmpv6": 58}.get(after, int(row["ip.proto"][n - 1]) if v4 else 0)
            ports = (0, 0)
            if after in ("tcp", "udp"):
                k = count(after, last_ip + 1)
                ports = int(row[after + ".srcport"][k]), int(row[after + ".dstport"][k])
            key = keys("session", (ip_bytes(src), ip_bytes(dst), *ports, proto), None, None, None)[0]
            vnis = [(i, row[p + ".vni"][count(p, i + 1) - 1]) for i, p in enumerate(layers)
                    if p in ("vxlan", "geneve") and len(row[p + ".vni"]) >= count(p, i + 1)]
            if vnis:
                key = f"vni{int(max(vnis)[1], 0)}_{key}"
            # the first fragment of any IPv4 layer names the flow of that datagram's later fragments
            datagrams = [(row["ip.src"][j], row["ip.dst"][j], row["ip.id"][j], row["ip.proto"][j], row["ip.flags.mf"][j],
                          row["ip.frag_offset"][j]) for j in range(count("ip"))]
            for *datagram, more, offset in datagrams:
                if more == "1" and offset == "0":
                    firsts[tuple(datagram)] = key
            if v4 and datagrams[n - 1][5] != "0":
                key = firsts.get(datagrams[n - 1][:4], key)
        key = key.replace(".", "_").replace(":", "_") if key else "no_session"
        sessions.setdefault(key, []).append(index)
    return sessions


@pytest.mark.skipif(not shutil.which("tshark"), reason="needs tshark")
@pytest.mark.parametrize("name", TUNNEL_CAPTURES + ["generated.pcap"])
def test_inner_sessions_are_those_tshark_shows(tmp_path, name):
    source = INSIDE / name
    if name == "generated.pcap":
        source = tmp_path / name
        source.write_bytes(generated())
    elif not source.exists():
        pytest.skip("the tunnel captures are not beside this checkout")
    _, recs, _ = read_capture(source.read_bytes())
    want = {k: [recs[i][2] for i in v] for k, v in tshark_sessions(source).items()}
    flowsieve.split(str(source), str(tmp_path / "out"), "session", tunnels="inner")
    stem = Path(name).stem + "_"
    got = {p.name[len(stem):-5]: [r[2] for r in read_capture(p.read_bytes())[1]] for p in (tmp_path / "out").iterdir()}
    assert got == want
    # the payload is the inner packet's: ICMP inside a tunnel has none, as outside
    flowsieve.split(str(source), str(tmp_path / "l7"), "session", output_type="l7", tunnels="inner")
    l7 = {re.sub(r"^vni\d+_", "", p.name[len(stem):-3]).split("_")[0] for p in (tmp_path / "l7").iterdir()}
    assert not l7 & {"1", "58"}


GENERATED_TUNNELS = ["vxlan 101", "vxlan 202", "geneve 0 / vxlan 303", "vxlan 101", None, "geneve 7", "gre", "gre", "gre",
                     "gre", "gtp-u", "ipip"]


def test_archive_arrays_and_queries_keep_the_inner_flows(tmp_path):
    source, inner, outer = tmp_path / "gen.pcap", tmp_path / "inner.fsieve", tmp_path / "outer.fsieve"
    source.write_bytes(generated())
    flowsieve.split(str(source), str(tmp_path / "split"), "session", tunnels="inner")
    split_keys = sorted(p.name[4:-5] for p in (tmp_path / "split").iterdir())
    # address and port filters see the inner flows
    flowsieve.split(str(source), str(tmp_path / "443"), port_filters=[443], ip_filters=["10.0.1.5"], tunnels="inner")
    assert sorted(p.name[4:-5] for p in (tmp_path / "443").iterdir()) == [k for k in split_keys if k.endswith("_443")]
    flowsieve.create_archive(str(source), str(inner), tunnels="inner")
    archive = flowsieve.Archive.open(str(inner))
    assert [f.tunnel for f in archive.flows()] == GENERATED_TUNNELS
    assert len(archive.flows()) == len(split_keys)
    assert ([f.id for f in archive.find(vni=101)] == [f.id for f in flowsieve.Store(inner).find(vni=101)] == [1, 4]
            and archive.find(vni=101, proto="udp")[0].dst_port == 53)
    # ICMP and payload read from the archive are the inner ones too
    assert archive.get_flow(12).community_id == flowsieve.read_flows(str(source), tunnels="inner").get_flow(12).community_id
    assert archive.get_flow(11).streams() == [(b"dns", b"ans")]
    if importlib.util.find_spec("numpy"):  # which the arrays need
        arrays = flowsieve.flow_arrays(str(source), tunnels="inner", packet_bytes=20)
        # packet bytes start at the innermost IP header, its addresses zeroed
        assert [bytes(b[0][:1]) + bytes(b[0][12:20]) for b in arrays.packet_bytes[:2]] == [b"\x45" + bytes(8)] * 2
        assert sorted(k.replace(".", "_").replace(":", "_") for k in arrays.key) == split_keys
        assert sorted(flowsieve.flow_arrays(archive).key) == sorted(arrays.key)
    # without tunnels, an inner archive is the outer one, byte for byte; an outer one has no tunnel fields
    flowsieve.create_archive(str(source), str(outer))
    assert {f.tunnel for f in flowsieve.Archive.open(str(outer)).flows()} == {None}
    assert flowsieve.Archive.open(str(outer)).find(vni=101) == []
    plain = tmp_path / "plain.pcap"
    plain.write_bytes(pcap([(1, 0, f, len(f)) for f in [eth(ipv4("10.0.0.1", "10.0.0.2", 6, tcp(1, 2)))]]))
    for mode in ("outer", "inner"):
        flowsieve.create_archive(str(plain), str(tmp_path / f"{mode}.plain"), tunnels=mode)
    assert (tmp_path / "outer.plain").read_bytes() == (tmp_path / "inner.plain").read_bytes()
    with pytest.raises(ValueError, match="Valid: outer, inner"):
        flowsieve.split(str(source), str(tmp_path / "x"), tunnels="innermost")
    if importlib.util.find_spec("numpy"):
        with pytest.raises(ValueError, match="Valid: outer, inner"):
            flowsieve.flow_arrays(archive, tunnels="innermost")
    # mac keys come from the innermost Ethernet header: of the 12 frames from the mirror's MAC, only the GENEVE frame
    # that carries IPv6 without Ethernet keeps it
    flowsieve.split(str(source), str(tmp_path / "mac"), "mac", tunnels="inner")
    assert [len(read_capture(p.read_bytes())[1]) for p in (tmp_path / "mac").glob(f"gen_*{MAC_C.hex()}.pcap")] == [1]


EXE = shutil.which("flowsieve")
FRAGMENTS = "flowsieve: IP fragments: 2 matched to their datagram, 0 without their first fragment sent to ports 0\n"


# capture matches no later IP fragments to their datagrams yet: captures without them
@pytest.mark.skipif(EXE is None, reason="the flowsieve command is not installed")
@pytest.mark.parametrize("name", ["zeek_vxlan.pcap", "zeek_geneve.pcap"])
def test_capture_keeps_the_inner_flows_of_a_stream(tmp_path, name):
    if not (INSIDE / name).exists():
        pytest.skip("the tunnel captures are not beside this checkout")
    subprocess.run([EXE, "capture", "-", tmp_path / "store", "--tunnels", "inner", "--rotate", str(10**9), "-q"],
                   input=(INSIDE / name).read_bytes(), check=True, timeout=60)
    fields = lambda flows: sorted((f.community_id, f.tunnel, f.packet_count) for f in flows)  # noqa: E731
    expected = fields(flowsieve.read_flows(str(INSIDE / name), tunnels="inner").flows())
    assert fields(flowsieve.Store(tmp_path / "store").find()) == expected and expected[0][1]


@pytest.mark.skipif(EXE is None, reason="the flowsieve command is not installed")
@pytest.mark.parametrize("args, stderr, tunnel_packets", [
    (["split", "{src}", "{out}"], "flowsieve: 20 of 20 packets are inside tunnels (11 vxlan, 2 geneve, 4 gre, 2 gtp-u, "
                                  "1 ipip): --tunnels inner splits by the flows they carry\n", 20),
    (["split", "{src}", "{out}", "-q"], "", 20),
    (["split", "{src}", "{out}", "--tunnels", "INNER"], FRAGMENTS, 19),  # the cut VXLAN header opens nothing
    (["archive", "{src}", "{out}.fsieve", "--tunnels", "inner"], FRAGMENTS, 19),
    (["split", "{src}", "{out}", "--tunnels", "both"], "flowsieve: invalid --tunnels value 'both': valid are outer, "
                                                       "inner\nTry 'flowsieve split --help' for more information.\n", None),
], ids=["hint", "quiet", "inner", "archive", "bad-value"])
def test_command_tunnels(tmp_path, args, stderr, tunnel_packets):
    (tmp_path / "gen.pcap").write_bytes(generated())
    cmd = [a.format(src=tmp_path / "gen.pcap", out=tmp_path / "out") for a in args]
    result = subprocess.run([EXE, *cmd, "--report", "json"], capture_output=True, text=True, timeout=60)
    assert result.stderr == stderr
    if tunnel_packets is not None:
        assert json.loads(result.stdout)["tunnel_packets"] == tunnel_packets
    if "archive" in args:
        listed = subprocess.run([EXE, "flows", tmp_path / "out.fsieve", "--vni", "101", "-f", "csv"], capture_output=True,
                                text=True, check=True).stdout.splitlines()
        assert [r.split(",")[0] for r in listed[1:]] == ["1", "4"] and listed[0].endswith(",tunnel,community_id")
        assert "vxlan 101" in listed[1]


# nfstream 6.6 opens GTP-U but leaves VXLAN, GENEVE and GRE shut, so only the GTP-U captures have a second oracle
@pytest.mark.parametrize("name", ["zeek_gtp7_ipv6.pcap", "zeek_gtp_ext_header.pcap"])
def test_inner_five_tuples_equal_nfstream(name):
    nfstream = pytest.importorskip("nfstream")
    if not (INSIDE / name).exists():
        pytest.skip("the tunnel captures are not beside this checkout")
    ends = lambda proto, a, ap, b, bp: (int(proto), *sorted([(ipaddress.ip_address(a), int(ap)),  # noqa: E731
                                                               (ipaddress.ip_address(b), int(bp))]))
    theirs = {ends(f.protocol, f.src_ip, f.src_port, f.dst_ip, f.dst_port)
              for f in nfstream.NFStreamer(source=str(INSIDE / name), decode_tunnels=True, n_dissections=0,
                                           statistical_analysis=False, idle_timeout=10**9, active_timeout=10**9,
                                           n_meters=1)}
    a = flowsieve.flow_arrays(INSIDE / name, tunnels="inner")
    ours = {ends(a.proto[i], a.src_addr[i], a.src_port[i], a.dst_addr[i], a.dst_port[i]) for i in range(len(a.id))}
    assert ours == theirs and len(ours) >= 1
