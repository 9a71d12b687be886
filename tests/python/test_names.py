"""Server names and applications of flows: against tshark's names on the public captures, on QUIC Initials that
aioquic makes, and on hostile bytes."""
import ipaddress
import shutil
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
