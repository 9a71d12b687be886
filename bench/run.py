#!/usr/bin/env python3
"""flowsieve benchmarks: split time, MB/s, ratio to a plain copy, peak RssAnon.

    python3 bench/run.py [--quick] [--only NAME[,NAME]] [--runs 3] [--keep] [--no-build]

Captures are generated once and cached in /dev/shm/flowsieve-bench/; split
outputs go there too and are removed between runs and at the end.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "bench")
SHM = "/dev/shm/flowsieve-bench"
GEN = os.path.join(HERE, "gen_capture.py")

# capture kind -> (size MB, TCP/UDP sessions); --quick keeps the shape at a tenth of the size
SCALES = {"full": {"big": (1000, 20000), "short": (300, 190000)},
          "quick": {"big": (100, 2000), "short": (30, 19000)}}
# name, capture kind, capture format, split() keyword arguments
WORKLOADS = [
    ("1g-session-pcap", "big", "pcap", {"strategy": "session"}),
    ("1g-l7", "big", "pcap", {"strategy": "session", "output_type": "l7"}),
    ("1g-nosplit", "big", "pcap", {"strategy": "nosplit"}),
    ("1g-session-pcapng", "big", "pcapng", {"strategy": "session"}),
    ("300m-short-sessions", "short", "pcap", {"strategy": "session"}),
]
# The child times only split(); interpreter start-up and import are left out.
CHILD = ("import json, sys, time, flowsieve\n"
         "t = time.perf_counter()\n"
         "flowsieve.split(sys.argv[1], sys.argv[2], **json.loads(sys.argv[3]))\n"
         "print(time.perf_counter() - t)\n")


def build():
    cmds = [["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"], ["ninja", "-C", BUILD]]
    for cmd in cmds:
        r = subprocess.run(cmd, capture_output=True, text=True)
        if r.returncode:
            sys.exit("build failed: %s\n%s%s" % (" ".join(cmd), r.stdout[-3000:], r.stderr[-3000:]))


def capture(kind, fmt, scale, seed):
    """Path of the cached capture, generated if missing. The name carries a hash
    of the generator so an edited generator never reuses stale traffic."""
    size, sessions = SCALES[scale][kind]
    tag = hashlib.sha1(open(GEN, "rb").read()).hexdigest()[:8]
    path = os.path.join(SHM, "%dmb-%ds-seed%d-%s.%s" % (size, sessions, seed, tag, fmt))
    if not os.path.exists(path):
        for old in os.listdir(SHM):                    # captures from older generator versions
            if old.endswith((".pcap", ".pcapng", ".part")) and tag not in old:
                os.remove(os.path.join(SHM, old))
        free = shutil.disk_usage(SHM).free
        if free < size * 1e6 * 3:                      # capture + split output + copy
            sys.exit("not enough room on /dev/shm for a %d MB capture (%.1f GB free)" % (size, free / 1e9))
        r = subprocess.run([sys.executable, GEN, path, "--size-mb", str(size), "--sessions", str(sessions),
                            "--format", fmt, "--seed", str(seed)], capture_output=True, text=True, check=True)
        print("  generated " + r.stdout.strip(), flush=True)
    return path


def rmtree(path):
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(path):
        os.remove(path)


def time_copy(src, runs):
    dst = os.path.join(SHM, "copy.bin")
    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        shutil.copyfile(src, dst)
        best = min(best, time.perf_counter() - t)
        os.remove(dst)
    return best


def rss_anon_kb(pid):
    try:
        with open("/proc/%d/status" % pid, "rb") as f:
            for line in f:
                if line.startswith(b"RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def split_once(cap, out, kwargs):
    """Runs one split in a child; returns (seconds, peak RssAnon kB, user s, sys s).
    RssAnon is sampled from here because the child's own VmHWM also counts the
    mapped input file, which is not memory the splitter holds."""
    env = dict(os.environ, PYTHONPATH=BUILD + os.pathsep + os.environ.get("PYTHONPATH", ""))
    # files, not pipes: a chatty child can never block on a full pipe while we poll
    stdout, stderr = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    p = subprocess.Popen([sys.executable, "-c", CHILD, cap, out, json.dumps(kwargs)], env=env,
                         stdout=stdout, stderr=stderr)
    peak = 0
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        peak = max(peak, rss_anon_kb(p.pid))
        time.sleep(0.002)
    p.returncode = os.waitstatus_to_exitcode(status)
    stdout.seek(0)
    stderr.seek(0)
    stdout, stderr = stdout.read().decode(), stderr.read().decode()
    if p.returncode:
        raise RuntimeError("split failed (exit %d): %s" % (p.returncode, stderr.strip()[-2000:]))
    return float(stdout.strip().splitlines()[-1]), peak, usage.ru_utime, usage.ru_stime


def count_files(path):
    return sum(len(files) for _, _, files in os.walk(path))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="100 MB and 30 MB captures instead of 1 GB and 300 MB")
    ap.add_argument("--only", help="comma-separated workload names")
    ap.add_argument("--runs", type=int, default=3, help="best of N for split and copy")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true", help="keep captures over 500 MB in /dev/shm")
    ap.add_argument("--no-build", action="store_true")
    a = ap.parse_args()
    names = set(a.only.split(",")) if a.only else {w[0] for w in WORKLOADS}
    unknown = names - {w[0] for w in WORKLOADS}
    if unknown:
        sys.exit("unknown workload(s): %s; known: %s" % (", ".join(sorted(unknown)), ", ".join(w[0] for w in WORKLOADS)))
    scale = "quick" if a.quick else "full"
    if not a.no_build:
        build()
    os.makedirs(SHM, exist_ok=True)
    rows, used = [], set()
    try:
        for name, kind, fmt, kwargs in WORKLOADS:
            if name not in names:
                continue
            cap = capture(kind, fmt, scale, a.seed)
            used.add(cap)
            out = os.path.join(SHM, "out-" + name)
            rmtree(out)
            mb = os.path.getsize(cap) / 1e6
            copy_s = time_copy(cap, a.runs)
            best, peak, files, err = None, 0, 0, None
            for _ in range(a.runs):
                os.makedirs(out)
                try:
                    r = split_once(cap, out, kwargs)
                except RuntimeError as e:
                    err = str(e)
                    break
                peak = max(peak, r[1])
                if best is None or r[0] < best[0]:
                    best = r
                files = count_files(out)
                rmtree(out)
            rmtree(out)
            if err:
                print("%-22s FAILED: %s" % (name, err), flush=True)
                rows.append((name, mb, None, copy_s, 0, 0, 0, 0))
                continue
            secs, _, user, system = best
            rows.append((name, mb, secs, copy_s, peak / 1024, files, user, system))
            print("%-22s %7.0f MB  %7.2f s  %7.0f MB/s  %5.1fx copy (%.2f s)  peak RssAnon %6.1f MB  "
                  "%7d files  cpu user %.2f s sys %.2f s"
                  % (name, mb, secs, mb / secs, secs / copy_s, copy_s, peak / 1024, files, user, system), flush=True)
    finally:
        for p in os.listdir(SHM):
            if p.startswith("out-") or p == "copy.bin":
                rmtree(os.path.join(SHM, p))
        if not a.keep:
            for cap in used:
                if os.path.getsize(cap) > 500e6:
                    os.remove(cap)

    print("\n| workload | capture MB | split s | MB/s | copy s | x copy | peak RssAnon MB | files | user s | sys s |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, mb, secs, copy_s, peak, files, user, system in rows:
        if secs is None:
            print("| %s | %.0f | failed | | %.2f | | | | | |" % (name, mb, copy_s))
        else:
            print("| %s | %.0f | %.2f | %.0f | %.2f | %.1f | %.1f | %d | %.2f | %.2f |"
                  % (name, mb, secs, mb / secs, copy_s, secs / copy_s, peak, files, user, system))


if __name__ == "__main__":
    main()
