"""Many archives as one flow store: Community IDs, queries across archives, the merged export."""
import ipaddress
import struct

import pytest

import flowsieve
import test_captures as tc

communityid = pytest.importorskip("communityid")
needs_corpus = pytest.mark.skipif(not tc.CAPTURES.is_dir(), reason="the shared capture corpus is not beside this checkout")
ZERO = ":".join(["0000"] * 8)


def transport_header(frame, flow):
    """The bytes from the transport header of the flow's first packet on: its IP header is found by the
    flow's addresses wherever the link layer put it."""
    src, dst = ipaddress.ip_address(flow.src_addr).packed, ipaddress.ip_address(flow.dst_addr).packed
    at = 12 if len(src) == 4 else 8
    i = frame.find(src + dst)
    while i >= at:
        h = i - at
        if len(src) == 4 and frame[h] >> 4 == 4 and frame[h + 9] == flow.proto:
            return frame[h + (frame[h] & 15) * 4:]
        if len(src) == 16 and frame[h] >> 4 == 6:
            proto, offset = frame[h + 6], h + 40
            while proto in (0, 43, 44, 51, 60):
                size = 8 if proto == 44 else (frame[offset + 1] + 2) * 4 if proto == 51 else (frame[offset + 1] + 1) * 8
                proto, offset = frame[offset], offset + size
            if proto == flow.proto:
                return frame[offset:]
        i = frame.find(src + dst, i + 1)
    raise AssertionError(f"no IP header of {flow} in its first packet")


def expected_community_id(flow):
    if flow.src_addr == flow.dst_addr == ZERO:
        return None
    ports = (flow.src_port, flow.dst_port)
    if flow.proto in (1, 58, 132):  # ICMP and ICMPv6 type and code, SCTP ports
        head = transport_header(flow.packets()[0].data, flow)
        ports = struct.unpack_from("!HH", head) if flow.proto == 132 else (head[0], head[1])
    ports = ports if flow.proto in (1, 6, 17, 58, 132) else ()
    return communityid.CommunityID().calc(communityid.FlowTuple(flow.proto, flow.src_addr, flow.dst_addr, *ports))


@needs_corpus
@pytest.mark.parametrize("name", tc.NAMES)
def test_community_id_agrees_with_the_reference(name):
    try:
        archive = flowsieve.read_flows(str(tc.CAPTURES / name))
    except RuntimeError:
        pytest.skip("the capture is malformed")
    for flow in archive.flows():
        assert flow.community_id == expected_community_id(flow), flow
