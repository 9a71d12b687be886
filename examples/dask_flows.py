#!/usr/bin/env python3
"""Indexes a directory of captures on a Dask cluster and gathers every flow into one pandas DataFrame.

    python3 examples/dask_flows.py CAPTURE_DIR ARCHIVE_DIR [--scheduler ADDRESS] [--workers N]
                                   [--strategy S] [--csv FILE]

Each capture CAPTURE_DIR/NAME.pcap (also .pcapng and .cap) is one task of a dask.bag:
a worker builds its archive ARCHIVE_DIR/NAME.fsieve with flowsieve.create_archive,
opens it and sends back one row per flow. The rows of all captures become one
DataFrame with the columns capture (file name), id, protocol, src_addr, dst_addr,
src_port, dst_port, packets, bytes, start and end (seconds since the epoch);
--csv writes it to FILE. A capture that fails (malformed, unreadable) is reported
on standard error and left out; the others go on, and the exit status is then 1.

Without --scheduler the work runs on a LocalCluster of --workers worker processes
(default 2) on this machine. With --scheduler tcp://HOST:8786 the same code runs
unchanged on a real cluster: every worker needs flowsieve installed, and
CAPTURE_DIR and ARCHIVE_DIR must be shared storage that the workers see under the
same paths as this machine (an NFS mount, say), since tasks carry paths, not bytes.
flowsieve calls keep the interpreter lock, so workers with one thread each and
several processes per machine use the cores best.

Needs dask, distributed and pandas: the examples extra, pip install "flowsieve[examples]".
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import List, Literal, Sequence, Tuple, get_args

import dask.bag as db
import pandas as pd
from distributed import Client, LocalCluster

import flowsieve

CAPTURE_SUFFIXES = (".pcap", ".pcapng", ".cap")
COLUMNS = ["capture", "id", "protocol", "src_addr", "dst_addr", "src_port", "dst_port",
           "packets", "bytes", "start", "end"]
# One flow, in the order of COLUMNS.
Row = Tuple[str, int, str, str, str, int, int, int, int, float, float]
# What a task gives back: the capture, its flows, and its failure ("" when none).
Outcome = Tuple[str, List[Row], str]
# The strategies flowsieve takes; the command line's in any case.
Strategy = Literal["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]


def archive_flows(capture: str, archive_dir: str, strategy: Strategy) -> Outcome:
    """Runs on a worker: archives one capture and lists its flows."""
    path = Path(capture)
    archive_path = Path(archive_dir) / (path.stem + ".fsieve")
    try:
        flowsieve.create_archive(path, archive_path, strategy=strategy)
        archive = flowsieve.Archive.open(archive_path)
    except (OSError, RuntimeError, ValueError) as e:  # the capture's own failure, not the cluster's
        return capture, [], f"{type(e).__name__}: {e}"
    return capture, [(path.name, f.id, f.proto_name, f.src_addr, f.dst_addr, f.src_port, f.dst_port,
                      f.packet_count, f.total_bytes, f.start_ts, f.end_ts) for f in archive.flows()], ""


def flow_frame(client: Client, captures: Sequence[str], archive_dir: str, strategy: Strategy) -> Tuple[pd.DataFrame, int]:
    """Every flow of every capture, one capture per task on the client's cluster, and how many captures failed."""
    bag = db.from_sequence(captures, npartitions=len(captures)).map(archive_flows, archive_dir, strategy)
    outcomes: List[Outcome] = bag.compute(scheduler=client)
    rows: List[Row] = []
    failed = 0
    for capture, flows, error in outcomes:
        if error:
            failed += 1
            print(f"{capture}: {error}", file=sys.stderr)
        rows.extend(flows)
    return pd.DataFrame.from_records(rows, columns=COLUMNS), failed


def find_captures(capture_dir: Path) -> List[str]:
    """Absolute paths, so that workers elsewhere find the same files on shared storage."""
    captures = sorted(p.resolve() for p in capture_dir.iterdir() if p.suffix in CAPTURE_SUFFIXES and p.is_file())
    stems = [p.stem for p in captures]
    clashes = sorted({s for s in stems if stems.count(s) > 1})
    if clashes:
        raise ValueError(f"captures share a name and so an archive: {', '.join(clashes)}")
    return [str(p) for p in captures]


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("capture_dir", type=Path)
    ap.add_argument("archive_dir", type=Path)
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default: 2)")
    ap.add_argument("--strategy", default="session", type=str.lower, choices=get_args(Strategy))
    ap.add_argument("--csv", type=Path, help="write the DataFrame to this CSV file")
    args = ap.parse_args(argv)
    try:
        captures = find_captures(args.capture_dir)
    except (OSError, ValueError) as e:
        ap.error(str(e))
    if not captures:
        ap.error(f"no capture (*.pcap, *.pcapng, *.cap) in {args.capture_dir}")
    archive_dir = args.archive_dir.resolve()
    archive_dir.mkdir(parents=True, exist_ok=True)

    if args.scheduler:
        with Client(args.scheduler) as client:
            df, failed = flow_frame(client, captures, str(archive_dir), args.strategy)
    else:
        # Loopback only, no dashboard: a private cluster for this run.
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            df, failed = flow_frame(client, captures, str(archive_dir), args.strategy)

    print(f"{len(df)} flows in {len(captures) - failed} of {len(captures)} captures; archives in {archive_dir}")
    print(df.groupby(["capture", "protocol"]).agg(flows=("id", "size"), packets=("packets", "sum"),
                                                  bytes=("bytes", "sum")).to_string())
    if args.csv:
        df.to_csv(args.csv, index=False)
        print(f"wrote {args.csv}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
