#!/usr/bin/env python3
"""Splits every capture of a directory into per-flow files, several captures at once.

    python3 examples/parallel_split.py CAPTURE_DIR OUT_DIR [--workers N] [--strategy S]

Each capture CAPTURE_DIR/NAME.pcap (also .pcapng and .cap) is split into its own
folder OUT_DIR/NAME.pcap/, named by the whole file name so that lo.pcap and
lo.pcapng each get one. A call to flowsieve.split keeps the interpreter lock for its
whole run, so threads would take turns: the captures go to a pool of worker
processes instead (default: one per core), each splitting one capture at a time.
A capture that fails is reported and the others go on; the exit status is 1 when
any failed.
"""
from __future__ import annotations

import argparse
import os
import sys
from concurrent.futures import ProcessPoolExecutor, as_completed
from pathlib import Path
from typing import Literal, NamedTuple, Sequence, get_args

import flowsieve

CAPTURE_SUFFIXES = (".pcap", ".pcapng", ".cap")
# The strategies flowsieve takes; the command line's in any case.
Strategy = Literal["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]


class Result(NamedTuple):
    capture: str
    files: int
    size: int


def find_captures(capture_dir: Path) -> list[Path]:
    """The captures in capture_dir, by name."""
    return sorted(p for p in capture_dir.iterdir() if p.suffix in CAPTURE_SUFFIXES and p.is_file())


def split_one(capture: str, out_dir: str, strategy: Strategy) -> Result:
    """Runs in a worker process: one capture into its own folder."""
    flowsieve.split(capture, out_dir, strategy=strategy)
    files = list(Path(out_dir).iterdir())
    return Result(capture, len(files), sum(f.stat().st_size for f in files))


def split_all(captures: Sequence[Path], out_dir: Path, workers: int, strategy: Strategy) -> tuple[list[Result], int]:
    """Splits every capture; returns the results in capture order and the number that failed."""
    results: dict[Path, Result] = {}
    failed = 0
    with ProcessPoolExecutor(max_workers=workers) as pool:
        jobs = {pool.submit(split_one, str(c), str(out_dir / c.name), strategy): c for c in captures}
        for job in as_completed(jobs):
            capture = jobs[job]
            try:
                results[capture] = job.result()
            except Exception as e:  # the capture's own failure (IOError, RuntimeError, ...), not the pool's
                failed += 1
                print(f"{capture}: {type(e).__name__}: {e}", file=sys.stderr)
    return [results[c] for c in captures if c in results], failed


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("capture_dir", type=Path)
    ap.add_argument("out_dir", type=Path)
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="worker processes (default: cores)")
    ap.add_argument("--strategy", default="session", type=str.lower, choices=get_args(Strategy))
    args = ap.parse_args(argv)
    if args.workers < 1:
        ap.error("--workers must be at least 1")
    try:
        captures = find_captures(args.capture_dir)
    except OSError as e:
        ap.error(str(e))
    if not captures:
        ap.error(f"no capture (*.pcap, *.pcapng, *.cap) in {args.capture_dir}")
    results, failed = split_all(captures, args.out_dir, args.workers, args.strategy)
    for r in results:
        print(f"{r.capture}: {r.files} flow files, {r.size} bytes in {args.out_dir / Path(r.capture).name}")
    print(f"{len(results)} of {len(captures)} captures split with {min(args.workers, len(captures))} workers")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
