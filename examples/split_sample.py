#!/usr/bin/env python3
"""Generates a small sample capture, splits it by session and shows what came out.

    python3 examples/split_sample.py [OUTPUT_DIR]

The sample capture lives in a temporary folder that is removed at the end, and
so are the flow files unless OUTPUT_DIR names a folder to keep them in.
"""
import pathlib
import sys
import tempfile

import flowsieve

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))
from gen_capture import generate  # type: ignore[import-not-found]  # noqa: E402


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="flowsieve-sample-") as tmp:
        work = pathlib.Path(tmp)
        capture = work / "sample.pcap"
        generate(str(capture), size_mb=2, sessions=40)
        out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else work / "flows"
        flowsieve.split(str(capture), str(out), strategy="session")
        files = sorted(out.iterdir())
        print(f"split a sample capture of {capture.stat().st_size} bytes into {len(files)} flow files in {out}:")
        for path in files[:12]:
            print(f"  {path.stat().st_size:>9}  {path.name}")
        if len(files) > 12:
            print(f"  ... and {len(files) - 12} more")
        if len(sys.argv) <= 1:
            print(f"(a temporary folder, removed now; to keep the files: {sys.argv[0]} OUTPUT_DIR)")


if __name__ == "__main__":
    main()
