#!/usr/bin/env python3
"""Indexes a directory of captures on a Dask cluster and gathers every flow into one pandas DataFrame;
or asks folders of archives, on the workers, for the flows of a query.

    python3 examples/dask_flows.py CAPTURE_DIR ARCHIVE_DIR [--scheduler ADDRESS] [--workers N]
                                   [--strategy S] [--csv FILE]
    python3 examples/dask_flows.py find ARCHIVE_DIR... [--ip ADDR] [--port N] [--between ADDR]
                                   [--between-port N] [--proto P] [--since TIME] [--until TIME]
                                   [--community-id ID]
                                   [--scheduler ADDRESS] [--workers N] [--csv FILE]

Each capture CAPTURE_DIR/NAME.pcap (also .pcapng and .cap) is one task of a dask.bag:
a worker builds its archive ARCHIVE_DIR/NAME.fsieve with flowsieve.create_archive,
opens it and sends back one row per flow. The rows of all captures become one
DataFrame with the columns capture (file name), id, protocol, src_addr, dst_addr,
src_port, dst_port, packets, bytes, start and end (seconds since the epoch);
--csv writes it to FILE. A capture that fails (malformed, unreadable) is reported
on standard error and left out; the others go on, and the exit status is then 1.

With find, each ARCHIVE_DIR is one task: a worker asks it as one flowsieve.Store, with the
query of the options (the flowsieve command's, with their meanings when repeated; TIME as
the command takes it), and the flows of all folders become one DataFrame whose first column is
the archive's path. This is how archives that outgrow one machine are asked together: each
machine's workers ask the folders on their own disks. A folder that fails (no archives, a
named archive unreadable) is reported and left out; archives of a folder that cannot be
read are reported and skipped.

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
import warnings
from typing import Any, Callable, Dict, List, Literal, Sequence, Tuple, TypeVar, get_args

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


# A folder's answer to a query: the folder, its flows (the archive first, then as Row), its
# failure ("" when none) and the archives of it that were skipped.
Found = Tuple[str, List[Row], str, List[str]]


def find_in_folder(folder: str, query: Dict[str, Any]) -> Found:
    """Runs on a worker: asks every archive of one folder, as one store."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the skipped archives are returned instead
            with flowsieve.Store(folder) as store:
                flows = store.find(**query)
                skipped = [f"{path}: {why}" for path, why in store.skipped]
    except (OSError, RuntimeError, ValueError) as e:
        return folder, [], f"{type(e).__name__}: {e}", []
    return folder, [(f.archive_path, f.id, f.proto_name, f.src_addr, f.dst_addr, f.src_port, f.dst_port,
                     f.packet_count, f.total_bytes, f.start_ts, f.end_ts) for f in flows], "", skipped


def found_frame(client: Client, folders: Sequence[str], query: Dict[str, Any]) -> Tuple[pd.DataFrame, int]:
    """The flows of every folder that meet the query, one folder per task, and how many folders failed."""
    bag = db.from_sequence(folders, npartitions=len(folders)).map(find_in_folder, query)
    answers: List[Found] = bag.compute(scheduler=client)
    rows: List[Row] = []
    failed = 0
    for folder, flows, error, skipped in answers:
        for line in skipped:
            print(f"skipped {line}", file=sys.stderr)
        if error:
            failed += 1
            print(f"{folder}: {error}", file=sys.stderr)
        rows.extend(flows)
    return pd.DataFrame.from_records(rows, columns=["archive"] + COLUMNS[1:]), failed


T = TypeVar("T")


def on_cluster(scheduler: str | None, workers: int, work: Callable[[Client], T]) -> T:
    """work(client) on the scheduler's cluster, or on a private local one."""
    if scheduler:
        with Client(scheduler) as client:
            return work(client)
    # Loopback only, no dashboard: a private cluster for this run.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        return work(client)


def find_main(argv: Sequence[str]) -> int:
    ap = argparse.ArgumentParser(prog="dask_flows.py find", description="Ask folders of archives for the flows "
                                 "of a query, one folder per task.")
    ap.add_argument("archive_dirs", type=Path, nargs="+")
    ap.add_argument("--ip", action="append", help="flows from or to ADDR; repeated, any of them")
    ap.add_argument("--port", type=int, action="append", help="flows from or to port N; repeated, any of them")
    ap.add_argument("--between", action="append", help="flows from or to ADDR; repeated, all of them")
    ap.add_argument("--between-port", type=int, action="append", help="flows from or to port N; repeated, all of them")
    ap.add_argument("--proto", action="append", help="tcp, udp, icmp, icmpv6 or a number; repeated, any of them")
    ap.add_argument("--since", help="flows that end at TIME or later")
    ap.add_argument("--until", help="flows that start at TIME or earlier")
    ap.add_argument("--community-id", help="flows with this Community ID")
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default: 2)")
    ap.add_argument("--csv", type=Path, help="write the DataFrame to this CSV file")
    args = ap.parse_args(argv)
    query = {key: value for key, value in (("ip", args.ip), ("port", args.port), ("between", args.between),
                                           ("between_port", args.between_port), ("proto", args.proto),
                                           ("since", args.since), ("until", args.until),
                                           ("community_id", args.community_id)) if value is not None}
    folders = [str(p.resolve()) for p in args.archive_dirs]
    df, failed = on_cluster(args.scheduler, args.workers, lambda client: found_frame(client, folders, query))
    print(f"{len(df)} flows in {len(folders) - failed} of {len(folders)} folders")
    if len(df):
        print(df.groupby(["protocol"]).agg(flows=("id", "size"), packets=("packets", "sum"),
                                           bytes=("bytes", "sum")).to_string())
    if args.csv:
        df.to_csv(args.csv, index=False)
        print(f"wrote {args.csv}")
    return 1 if failed else 0


def find_captures(capture_dir: Path) -> List[str]:
    """Absolute paths, so that workers elsewhere find the same files on shared storage."""
    captures = sorted(p.resolve() for p in capture_dir.iterdir() if p.suffix in CAPTURE_SUFFIXES and p.is_file())
    stems = [p.stem for p in captures]
    clashes = sorted({s for s in stems if stems.count(s) > 1})
    if clashes:
        raise ValueError(f"captures share a name and so an archive: {', '.join(clashes)}")
    return [str(p) for p in captures]


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["find"]:
        return find_main(argv[1:])
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

    df, failed = on_cluster(args.scheduler, args.workers,
                            lambda client: flow_frame(client, captures, str(archive_dir), args.strategy))

    print(f"{len(df)} flows in {len(captures) - failed} of {len(captures)} captures; archives in {archive_dir}")
    print(df.groupby(["capture", "protocol"]).agg(flows=("id", "size"), packets=("packets", "sum"),
                                                  bytes=("bytes", "sum")).to_string())
    if args.csv:
        df.to_csv(args.csv, index=False)
        print(f"wrote {args.csv}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
