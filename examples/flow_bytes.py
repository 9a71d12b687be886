#!/usr/bin/env python3
"""Turns the first N payload bytes of every session of a capture into one numpy array.

    python3 examples/flow_bytes.py CAPTURE [-n N] [--strategy S] [--out FILE.npz]

One pass of flowsieve.flow_arrays reads each session's application-layer
payload, both directions in capture order, as split's l7 files hold it, without
writing them. Row i of the uint8 array of shape (flows, N) holds the first N
bytes of flow i, zero-padded when the flow carried fewer; names[i] is that
flow's key, as split names its file, such as 6_10_0_0_1_10_0_0_2_999_443
(protocol, addresses, ports). Sessions that carried no payload have no row. The payload of a packet ends where its
IP datagram ends, so the padding of short Ethernet frames is not part of it: a
bare TCP ACK in a 60-byte frame adds nothing. --out saves both as FILE.npz, with
the arrays "names" and "bytes", the kind of input a classifier of flows trains on.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import List, Literal, Sequence, Tuple, get_args

import numpy as np
import numpy.typing as npt

import flowsieve

# The strategies flowsieve takes; the command line's in any case.
Strategy = Literal["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]


def flow_bytes(capture: Path, n: int, strategy: Strategy = "session") -> Tuple[List[str], npt.NDArray[np.uint8]]:
    """The flow names and their first n payload bytes, one row per flow with payload, in the order of the names."""
    arrays = flowsieve.flow_arrays(capture, strategy=strategy, packets=0, payload_bytes=n)
    order = np.argsort(arrays.key[arrays.payload_len > 0])
    names = [str(k) for k in arrays.key[arrays.payload_len > 0][order]]
    return names, arrays.payload[arrays.payload_len > 0][order]


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
