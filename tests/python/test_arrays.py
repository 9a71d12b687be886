"""flow_arrays and `flowsieve arrays` against the archive's packets, split's l7 files, and nfstream."""
import collections
import ipaddress
import os
import subprocess
import sys
import warnings

import pytest

import flowsieve
import test_captures as tc
from capwriter import MAC_A, MAC_B, T0, arp, eth, ipv4, packet, pcap, tcp, udp_fragments

np = pytest.importorskip("numpy")
needs_corpus = pytest.mark.skipif(not tc.CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
PER_FLOW = ["id", "proto", "src_port", "dst_port", "src_addr", "dst_addr", "key", "community_id", "start_ns", "end_ns",
            "packet_count", "byte_count", "fwd_packets", "fwd_bytes", "bwd_packets", "bwd_bytes", "payload_len",
            "server_name", "app", "orig_packets", "orig_ip_bytes", "resp_packets", "resp_ip_bytes", "flipped", "state",
            "history"]
CONNECTION = PER_FLOW[-7:]  # as the archive's Flow gives them
PER_PACKET = ["sizes", "directions", "iat_ns", "tcp_flags", "packet_bytes", "payload"]
FLOWSIEVE = os.path.join(os.path.dirname(sys.executable), "flowsieve")


def readable(name):
    try:
        flowsieve.flow_arrays(tc.CAPTURES / name, packets=0)
        return True
    except (RuntimeError, OSError):
        return False


CORPUS = [n for n in tc.NAMES if readable(n)]


def ip_start(f, link):
    """Where the IP header starts in a frame, by this test's own reading of the link layers; None without one."""
    if link == 1:
        start = tc.ip_after_ethertype(f, 12) if len(f) >= 14 else None
    elif link in (113, 276):
        start, protocol = (16, f[14:16]) if link == 113 else (20, f[0:2])
        start = start if len(f) >= start and protocol in tc.IP_TYPES else None
    elif link in (0, 108):
        start = 4
    elif link in (105, 127):
        h = 0 if link == 105 else int.from_bytes(f[2:4], "little") if len(f) >= 4 else 0
        end = h + (30 if len(f) > h + 1 and f[h + 1] & 3 == 3 else 24)
        if len(f) > end + 8 and f[end:end + 6] != b"\xaa\xaa\x03\x00\x00\x00" and f[h] & 0x8C == 0x88:  # QoS data
            end += 2 + (4 if f[h + 1] & 0x80 else 0)
        start = end + 8
    else:
        start = 0
    return start if start is not None and tc.dissect(f, link)[0] is not None else None


def rfc5952(address):
    """The text tshark and Zeek give an address: Python's, but an IPv4-mapped one ends in dotted IPv4 (RFC 5952, 5)."""
    a = ipaddress.ip_address(address)
    return f"::ffff:{a.ipv4_mapped}" if a.version == 6 and a.ipv4_mapped else str(a)


def expected_rows(archive, shape):
    """Every array row as this test works it out from Flow.packets(), by flow id."""
    k, m, anonymize = shape["packets"], shape["packet_bytes"], shape["anonymize"]
    rows = {}
    for flow in archive.flows():
        packets = flow.packets()
        link = [p.link_type for p in packets]
        tuples = [t[0] for t in tc.dissect_all([(p.ts_sec, p.ts_usec, p.data, p.orig_len, l)
                                                for p, l in zip(packets, link)])]
        ns = [p.ts_sec * 10**9 + p.ts_nsec for p in packets]
        first = tuples[0]
        loop = first is not None and first[0] == first[1]
        forward = [first is None or t is None or (t[0] == first[0] and (not loop or t[2] == first[2]))
                   for t in tuples]
        row = dict(id=flow.id, proto=flow.proto, src_port=flow.src_port, dst_port=flow.dst_port,
                   src_addr=rfc5952(flow.src_addr), dst_addr=rfc5952(flow.dst_addr), start_ns=ns[0], end_ns=ns[-1],
                   community_id=flow.community_id or "",
                   packet_count=len(packets), byte_count=sum(p.orig_len for p in packets),
                   fwd_packets=sum(forward), fwd_bytes=sum(p.orig_len for p, f in zip(packets, forward) if f))
        row.update({name: getattr(flow, name) or ("" if name in ("state", "history") else 0) for name in CONNECTION})
        row["bwd_packets"] = row["packet_count"] - row["fwd_packets"]
        row["bwd_bytes"] = row["byte_count"] - row["fwd_bytes"]
        first_k = sorted(range(len(packets)), key=lambda i: (ns[i], i))[:k]  # by time, then capture order
        pad = [-1] * (k - len(first_k))
        row["sizes"] = [packets[i].orig_len for i in first_k] + pad
        row["directions"] = [0 if forward[i] else 1 for i in first_k] + pad
        row["iat_ns"] = [0 if j == 0 else ns[i] - ns[first_k[j - 1]] for j, i in enumerate(first_k)] + pad
        row["packet_bytes"], row["tcp_flags"] = [], []
        for p, l in ((packets[i], link[i]) for i in first_k):
            start = ip_start(p.data, l)
            header = bytearray(p.data[start:start + m] if start is not None else b"")
            if header and anonymize:
                lo, hi = (12, 20) if header[0] >> 4 == 4 else (8, 40)
                header[lo:hi] = bytes(len(header[lo:hi]))
            row["packet_bytes"].append(bytes(header) + bytes(m - len(header)))
            b = p.data[start:] if start is not None else b""
            simple_tcp = (len(b) >= 20 and b[0] >> 4 == 4 and b[9] == 6 and not int.from_bytes(b[6:8], "big") & 0x1FFF
                          and len(b) > (b[0] & 15) * 4 + 13) or (len(b) > 53 and b[0] >> 4 == 6 and b[6] == 6)
            row["tcp_flags"].append(b[(b[0] & 15) * 4 + 13 if b[0] >> 4 == 4 else 53] if simple_tcp else None)
        rows[flow.id] = row
    return rows


def check_against_packets(arrays, rows, shape):
    assert list(arrays.id) == sorted(rows)
    for i, flow_id in enumerate(arrays.id):
        row = rows[int(flow_id)]
        for name in PER_FLOW:
            if name in row:
                assert arrays.__getattribute__(name)[i] == row[name], (flow_id, name)
        for name in ("sizes", "directions", "iat_ns"):
            assert list(getattr(arrays, name)[i]) == row[name], (flow_id, name)
        for j, flags in enumerate(row["tcp_flags"]):
            assert flags is None or arrays.tcp_flags[i][j] == flags, (flow_id, j)
        got = [bytes(b) for b in arrays.packet_bytes[i][:len(row["packet_bytes"])]]
        assert got == row["packet_bytes"], flow_id
        assert not arrays.packet_bytes[i][len(row["packet_bytes"]):].any()
    assert arrays.sizes.shape == arrays.directions.shape == (len(rows), shape["packets"])
    assert arrays.packet_bytes.shape == (len(rows), shape["packets"], shape["packet_bytes"])


def check_against_l7(arrays, capture, strategy, tmp_path, length):
    out = tmp_path / "l7"
    flowsieve.split(capture, out, strategy=strategy, output_type="l7")
    stem = capture.stem
    shared = {k for k, n in collections.Counter(arrays.key).items() if n > 1}  # flows whose keys sanitize alike
    files = {p.name: p.read_bytes() for p in out.iterdir()}
    for i, key in enumerate(arrays.key):
        if key in shared:
            continue
        want = files.pop(f"{stem}_{key}.l7", b"")[:length]
        assert arrays.payload_len[i] == len(want), key
        assert bytes(arrays.payload[i]) == want + bytes(length - len(want)), key
    assert not {n for n in files if n[len(stem) + 1:-3] not in shared}, "every l7 file is some flow's"


# (source, strategy, K, M, L, anonymize): flows shorter than K, K=0 with L only, both address families kept or zeroed.
TABLE = [
    ("capture", "session", 8, 64, 784, True),
    ("capture", "flow", 3, 40, 16, False),
    ("capture", "host", 20, 0, 0, True),
    ("capture", "hostpair", 1, 60, 0, True),
    ("capture", "mac", 0, 0, 100, True),
    ("capture", "bssid", 5, 100, 50, False),
    ("capture", "nosplit", 30, 20, 1000, True),
    ("archive", "session", 8, 64, 784, True),
    ("archive", "host", 4, 32, 10, False),
    ("archive", "nosplit", 1, 0, 0, True),
    ("archive", "mac", 2, 16, 0, False),
]


@needs_corpus
@pytest.mark.parametrize("source,strategy,k,m,l,anonymize", TABLE)
def test_arrays_equal_the_packets_and_the_l7_files(tmp_path, source, strategy, k, m, l, anonymize):
    shape = dict(packets=k, packet_bytes=m, payload_bytes=l, anonymize=anonymize)
    for name in CORPUS:
        capture = tc.CAPTURES / name
        path = tmp_path / name
        path.mkdir()
        flowsieve.create_archive(capture, path / "a.fsieve", strategy=strategy)
        archive = flowsieve.Archive.open(path / "a.fsieve")
        from_capture = flowsieve.flow_arrays(capture, strategy=strategy, **shape)
        if source == "archive":
            arrays = flowsieve.flow_arrays(archive, **shape)
            for n in PER_FLOW + PER_PACKET:
                if n != "key" or strategy == "session":
                    assert np.array_equal(getattr(arrays, n), getattr(from_capture, n)), (name, n)
        else:
            arrays = from_capture
            check_against_l7(arrays, capture, strategy, path, l)
        check_against_packets(arrays, expected_rows(archive, shape), shape)


A, B, BACK = "10.0.0.1", "10.0.0.2", dict(smac=MAC_B, dmac=MAC_A)
SHAPES = [packet(A, B, sport=1000, dport=80),
          packet(B, A, sport=80, dport=1000, **BACK),
          packet(A, B, sport=1000, dport=80),
          packet(A, B, sport=1000, dport=80, vlan=5),
          eth(ipv4(B, A, 6, tcp(80, 1000), options=bytes(4)), src=MAC_B, dst=MAC_A),
          packet(B, A, sport=80, dport=1000)[:30],  # no IP layer: forward
          eth(ipv4(B, A, 6, tcp(80, 1000)), ethertype=0x88B5),  # nor here, behind another EtherType
          packet("fe80::2", "fe80::1", sport=80, dport=1000),
          arp(),
          packet(B, A, sport=80, dport=1000, **BACK)]


def to_itself(host):
    """A datagram each way between two ports of one host, each in two fragments: the later ones carry no ports."""
    return [f for sport, dport, ident in ((5000, 6000, 1), (6000, 5000, 2))
            for f in udp_fragments(host, host, sport, dport, bytes(20), ident=ident)[0]]


AB, BA = packet(A, B, sport=1000, dport=80), packet(B, A, sport=80, dport=1000, **BACK)
M1, M2 = "::ffff:10.0.0.1", "::ffff:10.0.0.2"
# name: (frames, strategy, forward and backward counts, the first row's values at K=3)
SAME_AS_CAPTURE = {
    "shapes": (SHAPES, "nosplit", ([6], [4]), {}),
    "fragments to itself": (to_itself("127.0.0.1"), "session", ([2], [2]), {"directions": [0, 0, 1]}),
    "fragments to itself v6": (to_itself("::1"), "session", ([2], [2]), {"directions": [0, 0, 1]}),
    "ipv4-mapped ipv6": ([packet(M1, M2, sport=1000, dport=80), packet(M2, M1, sport=80, dport=1000, **BACK)], "session",
                         ([1], [1]), {"key": "6___ffff_10_0_0_1___ffff_10_0_0_2_1000_80",
                                      "src_addr": "::ffff:10.0.0.1",
                                      "community_id": "1:HAELzyYXW1S8ygPpfurp9sGn3z0="}),  # as tshark gives it
    "out of time order": ([(T0, 5, AB), (T0, 3, BA), (T0, 9, AB), (T0, 1, BA), (T0, 3, AB)], "session", ([3], [2]),
                          {"directions": [1, 1, 0], "iat_ns": [0, 2000, 0]}),  # equal times in capture order
}


@pytest.mark.parametrize("frames, strategy, counts, first_row", SAME_AS_CAPTURE.values(), ids=SAME_AS_CAPTURE)
def test_an_archive_gives_the_arrays_of_its_capture(tmp_path, frames, strategy, counts, first_row):
    """Past the first K packets, an archive's packets are counted from their source address alone: frames whose link
    layer or IP header differ from those before (tagged, with options, cut inside the IP header, of the other family,
    without IP) still count in the direction that decoding them whole gives. Later fragments get their datagram's
    ports, an IPv4-mapped flow stays IPv6, the first packets are the earliest."""
    capture = tmp_path / "c.pcap"
    capture.write_bytes(pcap(frames))
    flowsieve.create_archive(capture, tmp_path / "a.fsieve", strategy=strategy)
    archive = flowsieve.Archive.open(tmp_path / "a.fsieve")
    for k in (0, 1, 3):
        arrays = flowsieve.flow_arrays(archive, packets=k)
        want = flowsieve.flow_arrays(capture, strategy=strategy, packets=k)
        assert (list(arrays.fwd_packets), list(arrays.bwd_packets)) == counts
        for n in PER_FLOW + PER_PACKET:
            if n != "key" or strategy == "session":
                assert np.array_equal(getattr(arrays, n), getattr(want, n)), (k, n)
    got = {n: getattr(arrays, n)[0].tolist() for n in PER_FLOW + PER_PACKET}
    assert {n: got[n] for n in first_row} == first_row


def test_an_archive_of_many_packets_walked_by_two_threads_gives_the_capture_rows(tmp_path):
    """Past 65536 packets two threads fill the rows, each from part of the list: in the file's order or another."""
    frames = []
    for i in range(70000):
        flow = i % 3001
        a, port, payload = "10.1.%d.%d" % (flow // 200, flow % 200 + 1), 1024 + flow, bytes(i % 9)
        frames.append(packet(a, "10.9.9.9", sport=port, dport=80, payload=payload) if i % 3 else
                      packet("10.9.9.9", a, sport=80, dport=port, payload=payload, smac=MAC_B, dmac=MAC_A))
    capture = tmp_path / "many.pcap"
    capture.write_bytes(pcap(frames))
    flowsieve.create_archive(capture, tmp_path / "a.fsieve")
    archive = flowsieve.Archive.open(tmp_path / "a.fsieve")
    shape = dict(packets=3, packet_bytes=24, payload_bytes=5)
    want = flowsieve.flow_arrays(capture, **shape)
    backwards = flowsieve.flow_arrays(archive, flows=archive.flows()[::-1], **shape)
    for arrays, rows in ((flowsieve.flow_arrays(archive, **shape), slice(None)), (backwards, slice(None, None, -1))):
        assert arrays.packet_count.sum() == len(frames)
        for n in PER_FLOW + PER_PACKET:
            assert np.array_equal(getattr(arrays, n), getattr(want, n)[rows]), n


def test_a_fraction_past_four_seconds_keeps_its_nanoseconds(tmp_path):
    """A damaged capture in microseconds whose fraction states 5 s: 5e9 ns, past 32 bits, in the arrays, the packets
    and a merged export in nanoseconds, where the whole seconds carry into the seconds field."""
    a = packet("10.0.0.1", "10.0.0.2", sport=1000, dport=80)
    (tmp_path / "us.pcap").write_bytes(pcap([(T0, 5_000_000, a), (T0 + 1, 0, a)]))
    (tmp_path / "ns.pcap").write_bytes(pcap([packet("10.0.0.3", "10.0.0.4", sport=1, dport=2)], nano=True))
    for name in ("us", "ns"):
        flowsieve.create_archive(tmp_path / f"{name}.pcap", tmp_path / f"{name}.fsieve")
    archive = flowsieve.Archive.open(tmp_path / "us.fsieve")
    for arrays in (flowsieve.flow_arrays(tmp_path / "us.pcap", packets=2), flowsieve.flow_arrays(archive, packets=2)):
        assert (arrays.start_ns[0], list(arrays.iat_ns[0])) == ((T0 + 5) * 10**9, [0, 4 * 10**9])  # in time order
    assert [p.ts_nsec for p in archive.flows()[0].packets()] == [5 * 10**9, 0]
    merged = subprocess.run([FLOWSIEVE, "export", tmp_path / "us.fsieve", tmp_path / "ns.fsieve", "--merge", "-o", "-"],
                            capture_output=True, check=True).stdout
    _, recs, _, fmt = tc.read_all(merged)
    assert fmt.nano and sorted(r[:2] for r in recs)[1:] == [(T0 + 1, 0), (T0 + 5, 0)]


@needs_corpus
def test_npz_of_several_inputs_and_standard_input_loads_as_the_function_gives(tmp_path):
    first, second = tc.CAPTURES / "pcapplusplus_many-protocols.pcap", tc.CAPTURES / "pcapplusplus_sll.pcap"
    (tmp_path / "folder").mkdir()
    flowsieve.create_archive(second, tmp_path / "folder" / "b.fsieve")
    shape = dict(packets=6, packet_bytes=48, payload_bytes=100, anonymize=False)
    with open(first, "rb") as stdin:  # standard input, then a folder standing for its archive
        subprocess.run([FLOWSIEVE, "arrays", "-", str(tmp_path / "folder"), "-o", str(tmp_path / "out.npz"),
                        "--packets", "6", "--packet-bytes", "48", "--payload-bytes", "100", "--no-anonymize", "-q"],
                       stdin=stdin, check=True)
    parts = [flowsieve.flow_arrays(first, **shape),
             flowsieve.flow_arrays(flowsieve.Archive.open(tmp_path / "folder" / "b.fsieve"), **shape)]
    with np.load(tmp_path / "out.npz") as npz:
        assert npz.files == PER_FLOW[:-10] + PER_PACKET + ["payload_len", "server_name", "app"] + CONNECTION + [
            "source", "sources"]
        assert list(npz["source"]) == [0] * len(parts[0].id) + [1] * len(parts[1].id)
        assert list(npz["sources"]) == ["-", str(tmp_path / "folder" / "b.fsieve")]  # the folder's archive by name
        for name in PER_FLOW + PER_PACKET:
            assert np.array_equal(npz[name], np.concatenate([getattr(p, name) for p in parts])), name
    single = tmp_path / "one.npz"
    subprocess.run([FLOWSIEVE, "arrays", str(first), "-o", str(single), "-q"], check=True)
    with np.load(single) as npz:
        assert "source" not in npz.files and npz["sizes"].shape == (len(parts[0].id), 8)
    pytest.importorskip("pandas")
    frame = parts[0].frame()
    assert list(frame.columns) == PER_FLOW and len(frame) == len(parts[0].id)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # pandas warns of a frame built column by column
        wide = parts[0].frame(wide=True)
    places = [(n, i) for n, count in (("sizes", 6), ("directions", 6), ("iat_ns", 6), ("tcp_flags", 6), ("payload", 100))
              for i in range(count)]
    assert list(wide.columns) == PER_FLOW + [f"{n}_{i}" for n, i in places]
    for n, i in places:
        assert np.array_equal(wide[f"{n}_{i}"].to_numpy(), getattr(parts[0], n)[:, i]), (n, i)


@needs_corpus
@pytest.mark.parametrize("kwargs,exc,message", [
    (dict(packets=-1), ValueError, "packets must not be negative"),
    (dict(packet_bytes=-3), ValueError, "packet_bytes"),
    (dict(payload_bytes=-1), ValueError, "payload_bytes"),
    (dict(packets=70000), ValueError, "packets must be at most 65535"),
    (dict(packets=2**40), ValueError, "packets must be at most 65535$"),
    (dict(strategy="flow", archive=True), ValueError, "strategy"),
    (dict(flows="other", archive=True), ValueError, "flows"),
    (dict(flows=[]), ValueError, "flows"),
    (dict(packets=65535, packet_bytes=262144), MemoryError, r"^out of memory: \d+ bytes could not be allocated$"),
])
def test_bad_arguments_name_themselves(tmp_path, kwargs, exc, message):
    capture = tc.CAPTURES / "pcapplusplus_sll.pcap"
    flowsieve.create_archive(capture, tmp_path / "a.fsieve")
    source = flowsieve.Archive.open(tmp_path / "a.fsieve") if kwargs.pop("archive", False) else capture
    if kwargs.get("flows") == "other":
        kwargs["flows"] = flowsieve.Archive.open(tmp_path / "a.fsieve").flows()[:2]
    with pytest.raises(exc, match=message):
        flowsieve.flow_arrays(source, **kwargs)


@needs_corpus
def test_without_numpy_the_error_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError, match="pip install numpy"):
        flowsieve.flow_arrays(tc.CAPTURES / "pcapplusplus_sll.pcap")


# Captures where nfstream's flows are not our sessions, and why. Every other capture nfstream reads must agree on
# every TCP and UDP session.
NOT_OUR_SESSIONS = {
    **dict.fromkeys(["pcapng-test-generator_be_test202.pcapng", "pcapng-test-generator_le_test008.pcapng",
                     "pcapng-test-generator_le_test102.pcapng", "pcapng-test-generator_le_test201.pcapng",
                     "pcapplusplus_many_interfaces-1.pcapng", "pcapplusplus_pcapng-example.pcapng"],
                    "interfaces of several link types, or declared after packets: libpcap under nfstream reads their "
                    "frames by another interface's link type"),
    "pcapplusplus_ip4_fragments.pcap": "later IP fragments carry no ports: we give them their datagram's, nfstream "
                                       "does not count them in the session",
    "libpcap_ipv6_ah_modes.pcap": "nfstream finds no ports behind an IPv6 authentication header",
    "zeek_vlan-pcp-dei.pcapng": "nfstream keys flows by VLAN id as well",
    "zeek_ipv6-http-atomic-frag.pcap": "frames out of time order: nfstream takes a flow's first packets in capture "
                                       "order, we in time order",
    "zeek_radiotap.pcap": "nfstream reports the flow of the QoS data frames but not the IPv6 multicast flow of the "
                          "plain data frame",
    "zeek_wlanmon.pcap": "nfstream reports no flow in 802.11 frames without a radiotap header (link type 105)",
}


@needs_corpus
def test_sizes_directions_and_counts_equal_nfstream():
    """nfstream with its timeouts out of reach; flows of other protocols are left out (nfstream keys ICMP by type and
    code, and keeps no ports for the rest)."""
    nfstream = pytest.importorskip("nfstream")
    k = 8
    compared = 0
    for name in CORPUS:
        if name in NOT_OUR_SESSIONS:
            continue
        try:
            flows = list(nfstream.NFStreamer(source=str(tc.CAPTURES / name), splt_analysis=k, n_dissections=0,
                                             statistical_analysis=False, idle_timeout=10**9, active_timeout=10**9,
                                             n_meters=1, decode_tunnels=False))
        except ValueError:  # a capture libpcap refuses
            continue
        theirs = collections.defaultdict(list)
        for f in flows:
            if f.protocol in (6, 17):
                ends = [(ipaddress.ip_address(f.src_ip), f.src_port), (ipaddress.ip_address(f.dst_ip), f.dst_port)]
                theirs[(f.protocol, *sorted(ends))].append(f)
        ours = flowsieve.flow_arrays(tc.CAPTURES / name, packets=k)
        for i in np.flatnonzero(np.isin(ours.proto, (6, 17))):
            ends = [(ipaddress.ip_address(ours.src_addr[i]), int(ours.src_port[i])),
                    (ipaddress.ip_address(ours.dst_addr[i]), int(ours.dst_port[i]))]
            key = (name, int(ours.proto[i]), *sorted(ends))
            assert len(theirs.get(key[1:], [])) == 1, key
            (f,) = theirs[key[1:]]
            assert list(ours.sizes[i]) == [s if s >= 0 else -1 for s in f.splt_ps], key
            assert list(ours.directions[i]) == list(f.splt_direction), key
            assert (ours.fwd_packets[i], ours.bwd_packets[i]) == (f.src2dst_packets, f.dst2src_packets), key
            assert (ours.fwd_bytes[i], ours.bwd_bytes[i]) == (f.src2dst_bytes, f.dst2src_bytes), key
            compared += 1
    assert compared >= 300


def test_arrays_outlive_their_object_writable_and_freed_once_gone(tmp_path):
    """The arrays lie over the columns' own pages: views of them outlive the FlowArrays object, they can be written,
    the object at the end of their chain of bases alone keeps the pages, which are given back once it has gone."""
    frames = [packet("10.2.%d.%d" % (i // 200, i % 200 + 1), "10.9.9.9", sport=2000, dport=80, payload=b"x")
              for i in range(3000)]
    capture = tmp_path / "flows.pcap"
    capture.write_bytes(pcap(frames))
    shape = dict(packets=2, payload_bytes=4096)  # 12 MB of payload a call

    def rss_anon():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("RssAnon:")) * 1024

    arrays = flowsieve.flow_arrays(capture, **shape)
    sizes, payload = arrays.sizes[10:], np.asarray(arrays.payload)
    del arrays
    payload[0, 1] = 9
    assert payload.flags.writeable and list(payload[0, :2]) == [ord("x"), 9] and (sizes[:, 0] > 0).all()
    owner = payload
    while getattr(owner, "base", None) is not None:
        owner = owner.base
    del sizes, payload
    assert np.asarray(owner).tobytes()[:2] == b"x\t"
    del owner
    before = rss_anon()
    for _ in range(10):
        flowsieve.flow_arrays(capture, **shape).payload[1:].sum()
    assert rss_anon() - before < 60 * 2**20
