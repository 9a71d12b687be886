#!/usr/bin/env python3
"""Builds a flow archive from a small sample capture and tours it: flows, queries, packets, export.

    python3 examples/archive_tour.py [OUTPUT_DIR]

OUTPUT_DIR (default: a new temporary folder) receives the capture, its archive and
one .pcap file per flow.
"""
import pathlib
import sys
import tempfile

import flowsieve

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))
from gen_capture import generate  # type: ignore[import-not-found]  # noqa: E402


def main() -> None:
    work = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="flowsieve-tour-"))
    work.mkdir(parents=True, exist_ok=True)
    capture, path = work / "sample.pcap", work / "sample.fsieve"
    generate(str(capture), size_mb=2, sessions=40)

    # One pass over the capture groups its packets into sessions and indexes them.
    flowsieve.create_archive(str(capture), str(path), strategy="session")
    archive = flowsieve.Archive.open(str(path))
    flows = archive.flows()
    print(f"{archive!r}: {path} ({path.stat().st_size} bytes) from {capture.stat().st_size} bytes of capture")
    for flow in flows[:5]:
        print("   ", flow)

    # Queries look flows up in the archive's index by protocol, port or address (source or destination).
    first = flows[0]
    print(f"tcp: {len(archive.find_by_protocol('tcp'))} flows, port 443: {len(archive.find_by_port(443))} flows, "
          f"{first.src_addr}: {len(archive.find_by_ip(first.src_addr))} flows")

    # A flow's packets carry their timestamps and the whole frame.
    packets = first.packets()
    print(f"flow {first.id}: {len(packets)} packets over {(first.end_ts - first.start_ts) * 1e3:.3f} ms")
    for packet in packets[:3]:
        print("   ", packet, "frame starts", packet.data[:14].hex(" "))

    # Every flow back as a standalone pcap file, in the order of flows().
    out = work / "flows"
    out.mkdir(exist_ok=True)
    for flow, pcap in zip(flows, flowsieve.pipe_archive(str(path))):
        (out / f"flow-{flow.id:03d}.pcap").write_bytes(pcap)
    print(f"wrote {len(flows)} pcap files to {out}")

    # read_flows does both steps in one call, through a temporary archive deleted with the object.
    direct = flowsieve.read_flows(str(capture))
    same = [repr(f) for f in direct.flows()] == [repr(f) for f in flows]
    print(f"read_flows: {direct!r}, {'the same' if same else 'DIFFERENT'} flows")


if __name__ == "__main__":
    main()
