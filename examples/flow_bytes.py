#!/usr/bin/env python3
"""Turns the first N payload bytes of every session of a capture into one numpy array.

    python3 examples/flow_bytes.py CAPTURE [-n N] [--strategy S] [--out FILE.npz]

The capture is split with output_type="l7", which writes each session's
application-layer payload, both directions in capture order, to one file. Row i
of the uint8 array of shape (flows, N) holds the first N bytes of flow i,
zero-padded when the flow carried fewer; names[i] is that flow's key, such as
6_10_0_0_1_10_0_0_2_999_443 (protocol, addresses, ports). Sessions that carried
no payload have no file and so no row. The payload of a packet ends where its
IP datagram ends, so the padding of short Ethernet frames is not part of it: a
bare TCP ACK in a 60-byte frame adds nothing. --out saves both as FILE.npz, with
the arrays "names" and "bytes", the kind of input a classifier of flows trains on.
"""
from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path
from typing import List, Literal, Sequence, Tuple, get_args

import numpy as np
import numpy.typing as npt

import flowsieve

# The strategies flowsieve takes; the command line's in any case.
Strategy = Literal["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]


def flow_bytes(capture: Path, n: int, strategy: Strategy = "session") -> Tuple[List[str], npt.NDArray[np.uint8]]:
    """The flow names and their first n payload bytes, one row per flow, in the order of the names."""
    prefix, suffix = capture.stem + "_", ".l7"
    with tempfile.TemporaryDirectory(prefix="flowsieve-l7-") as work:
        flowsieve.split(str(capture), work, strategy=strategy, output_type="l7")
        files = sorted(Path(work).iterdir())
        names = [f.name[len(prefix):-len(suffix)] for f in files]
        rows = np.zeros((len(files), n), dtype=np.uint8)
        for row, f in zip(rows, files):
            with f.open("rb") as stream:
                head = stream.read(n)  # only the head: a session's payload can be large
            row[:len(head)] = np.frombuffer(head, dtype=np.uint8)
    return names, rows


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("capture", type=Path)
    ap.add_argument("-n", type=int, default=64, help="payload bytes per flow (default: 64)")
    ap.add_argument("--strategy", default="session", type=str.lower, choices=get_args(Strategy))
    ap.add_argument("--out", type=Path, help="save names and bytes to this .npz file")
    args = ap.parse_args(argv)
    if args.n < 1:
        ap.error("-n must be at least 1")
    names, rows = flow_bytes(args.capture, args.n, args.strategy)
    print(f"{args.capture}: {rows.shape[0]} flows with payload, first {args.n} bytes each")
    width = len(max(names, key=len, default=""))
    for name, row in list(zip(names, rows))[:10]:
        print(f"  {name:<{width}}  {row[:16].tobytes().hex(' ')}")
    if len(names) > 10:
        print(f"  ... and {len(names) - 10} more")
    if args.out:
        np.savez(args.out, names=np.array(names, dtype=str), bytes=rows)
        print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
