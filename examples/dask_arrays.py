#!/usr/bin/env python3
"""Turns a directory of captures into flow arrays on a Dask cluster, one .npz per capture, and stacks them.

    python3 examples/dask_arrays.py CAPTURE_DIR NPZ_DIR [--scheduler ADDRESS] [--workers N]
                                    [--packets K] [--packet-bytes M] [--payload-bytes L]
                                    [--strategy S] [--out FILE.npz]

Each capture CAPTURE_DIR/NAME.pcap (also .pcapng and .cap) is one task of a dask.bag:
a worker reads it once with flowsieve.flow_arrays and saves the arrays as
NPZ_DIR/NAME.npz, one row per flow: the flow's fields and counts, the sizes,
directions (0 forward, 1 backward), gaps and TCP flags of its first K packets
(-1 past the flow's end), their first M bytes from the IP header on with the
addresses zeroed, and the first L bytes of its payload. This machine then loads
every .npz and stacks them into one set of arrays, with `source` giving each row's
capture by position in `captures`; --out saves that as FILE.npz, the kind of
input a classifier of flows trains on. Nothing is split into files per flow and
read back. A capture that fails (malformed, unreadable) is reported on standard
error and left out; the others go on, and the exit status is then 1.

Without --scheduler the work runs on a LocalCluster of --workers worker processes
(default 2) on this machine; with --scheduler tcp://HOST:8786 on a real cluster
whose workers have flowsieve and NumPy installed and see CAPTURE_DIR and NPZ_DIR
under the same paths (shared storage). The command `flowsieve arrays CAPTURE...
-o FILE.npz` does the same on one machine.

Needs dask, distributed and numpy: the examples extra, pip install "flowsieve[examples]".
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Dict, List, Literal, Sequence, Tuple, get_args

import dask.bag as db
import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

import flowsieve

CAPTURE_SUFFIXES = (".pcap", ".pcapng", ".cap")
# The strategies flowsieve takes; the command line's in any case.
Strategy = Literal["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]
NAMES = ["id", "proto", "src_port", "dst_port", "src_addr", "dst_addr", "key", "community_id", "start_ns", "end_ns",
         "packet_count", "byte_count", "fwd_packets", "fwd_bytes", "bwd_packets", "bwd_bytes", "sizes",
         "directions", "iat_ns", "tcp_flags", "packet_bytes", "payload", "payload_len"]
Arrays = Dict[str, npt.NDArray[np.generic]]
# What a task gives back: the capture, its .npz, and its failure ("" when none).
Outcome = Tuple[str, str, str]


def capture_arrays(capture: str, npz_dir: str, strategy: Strategy, packets: int, packet_bytes: int,
                   payload_bytes: int) -> Outcome:
    """Runs on a worker: one capture's flows as arrays, saved beside the others."""
    out = Path(npz_dir) / (Path(capture).stem + ".npz")
    try:
        arrays = flowsieve.flow_arrays(capture, strategy=strategy, packets=packets, packet_bytes=packet_bytes,
                                       payload_bytes=payload_bytes)
    except (OSError, RuntimeError, ValueError) as e:  # the capture's own failure, not the cluster's
        return capture, "", f"{type(e).__name__}: {e}"
    np.savez(out, **{name: getattr(arrays, name) for name in NAMES})
    return capture, str(out), ""


def stack(paths: Sequence[str]) -> Arrays:
    """The arrays of every .npz, one after the other, and `source`: each row's file by position."""
    parts = []
    for path in paths:
        with np.load(path) as npz:
            parts.append({name: npz[name] for name in NAMES})
    stacked: Arrays = {name: np.concatenate([p[name] for p in parts]) for name in NAMES}
    stacked["source"] = np.concatenate([np.full(len(p["id"]), i, dtype=np.uint32) for i, p in enumerate(parts)])
    return stacked


def run(client: Client, captures: Sequence[str], npz_dir: str, args: argparse.Namespace) -> Tuple[List[str], int]:
    """The .npz of every capture that worked, in the captures' order, and how many failed."""
    bag = db.from_sequence(captures, npartitions=len(captures)).map(
        capture_arrays, npz_dir, args.strategy, args.packets, args.packet_bytes, args.payload_bytes)
    outcomes: List[Outcome] = bag.compute(scheduler=client)
    done: List[str] = []
    for capture, npz, error in outcomes:
        if error:
            print(f"{capture}: {error}", file=sys.stderr)
        else:
            done.append(npz)
    return done, len(outcomes) - len(done)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("capture_dir", type=Path)
    ap.add_argument("npz_dir", type=Path)
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default: 2)")
    ap.add_argument("--strategy", default="session", type=str.lower, choices=get_args(Strategy))
    ap.add_argument("--packets", type=int, default=8, help="the first K packets of every flow (default: 8)")
    ap.add_argument("--packet-bytes", type=int, default=64, help="their first M bytes (default: 64)")
    ap.add_argument("--payload-bytes", type=int, default=784, help="the flow's first L payload bytes (default: 784)")
    ap.add_argument("--out", type=Path, help="save the stacked arrays, with captures and source, to this .npz")
    args = ap.parse_args(argv)
    captures = sorted(str(p.resolve()) for p in args.capture_dir.iterdir()
                      if p.suffix in CAPTURE_SUFFIXES and p.is_file()) if args.capture_dir.is_dir() else []
    if not captures:
        ap.error(f"no capture (*.pcap, *.pcapng, *.cap) in {args.capture_dir}")
    stems = [Path(c).stem for c in captures]
    if len(set(stems)) != len(stems):
        ap.error("captures share a name and so a .npz: " + ", ".join(sorted({s for s in stems if stems.count(s) > 1})))
    npz_dir = args.npz_dir.resolve()
    npz_dir.mkdir(parents=True, exist_ok=True)

    if args.scheduler:
        with Client(args.scheduler) as client:
            done, failed = run(client, captures, str(npz_dir), args)
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            done, failed = run(client, captures, str(npz_dir), args)

    arrays = stack(done) if done else {}
    flows = len(arrays["id"]) if done else 0
    print(f"{flows} flows in {len(done)} of {len(captures)} captures; one .npz each in {npz_dir}")
    for i, npz in enumerate(done):
        rows = arrays["source"] == i
        print(f"  {Path(npz).name}: {int(rows.sum())} flows, {int(arrays['packet_count'][rows].sum())} packets")
    if args.out and done:
        saved: Dict[str, Any] = dict(arrays, captures=np.array([Path(p).stem for p in done]))
        np.savez(args.out, **saved)
        print(f"wrote {args.out}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
