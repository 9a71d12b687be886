#!/usr/bin/env python3
"""flowsieve benchmarks: split, archive and flow_arrays time, MB/s, ratios to a plain copy and to the floor, peak RssAnon.

    python3 bench/run.py [--quick] [--only NAME[,NAME]] [--runs 5] [--keep] [--no-build] [--check-floor]
    python3 bench/run.py --only store [--runs 3]    # opt-in: 40 archives as one store, against tcpdump;
                                                    # Store against the command, also over 2,000 hourly archives

The floor, bench/floor.cpp, makes the system calls that each output needs and
nothing else, for split and for the archive (no index). flowsieve and the
floor run alternately and each figure is the median of --runs runs.
--check-floor also runs ../shared/bench/pcapfloor.c, which does the archive
floor's work in plain C, in turn with them, to show that the two floors agree.
The selective workloads (*-select-*: split and archive whose filter keeps
nothing, through Python and the command) run in turn with its dissect mode.

Captures are generated once and cached in /dev/shm/flowsieve-bench/; split and
archive outputs go there too and are removed between runs and at the end.
"""
import argparse
import functools
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
FLOOR = os.path.join(BUILD, "floor")
# A plain C program that does the archive floor's work, beside the checkout: --check-floor.
PCAPFLOOR_SOURCE = os.path.join(os.path.dirname(ROOT), "shared", "bench", "pcapfloor.c")
PCAPFLOOR = os.path.join(BUILD, "pcapfloor")
CHECK_FLOOR = False  # --check-floor
COMMAND = os.path.join(BUILD, "flowsieve")   # the native command
VENV = os.path.join(ROOT, "build", "bench-venv")   # dpkt, the reference reader of 1g-read
SHM = "/dev/shm/flowsieve-bench"
BASELINE = None  # --baseline
GEN = os.path.join(HERE, "gen_capture.py")

# capture kind -> (size MB, TCP/UDP sessions); --quick keeps the shape at a tenth of the size
SCALES = {"full": {"big": (1000, 20000), "short": (300, 190000)},
          "quick": {"big": (100, 2000), "short": (30, 19000)}}
# A kind ending so is that kind's traffic with every frame inside VXLAN (VNI 101), as a cloud mirror delivers it.
VXLAN, VXLAN_VNI = "-vxlan", 101
# The workloads are named by the size of their capture: 1g-* and 300m-* run as 100m-* and 30m-* with --quick.
QUICK_NAMES = {"1g-": "100m-", "300m-": "30m-"}


def sized(name, scale):
    """The workload's name at this scale."""
    for full, quick in QUICK_NAMES.items():
        if scale == "quick" and name.startswith(full):
            return quick + name[len(full):]
    return name

# flow_arrays: the first 8 packets, 64 bytes of each, 784 bytes of payload
ARRAYS = {"packets": 8, "packet_bytes": 64, "payload_bytes": 784}
# name, capture kind, capture format, operation, keyword arguments, target(s) (column, "<=" or ">=", value)
WORKLOADS = [
    ("1g-session-pcap", "big", "pcap", "split", {"strategy": "session"}, ("x floor", "<=", 1.0)),
    ("1g-l7", "big", "pcap", "split", {"strategy": "session", "output_type": "l7"}, ("x floor", "<=", 1.05)),
    ("1g-nosplit", "big", "pcap", "split", {"strategy": "nosplit"}, ("x floor", "<=", 1.05)),
    # split -s connection against split -s session of the same capture, in turn
    ("1g-connection", "big", "pcap", "connection", {"strategy": "connection"}, ("x session", "<=", 1.05)),
    # reassembled TCP streams, in turn with split -t pcap and with tcpflow on the same capture
    ("1g-stream", "big", "pcap", "stream", {"strategy": "session", "output_type": "stream"},
     [("x pcap", "<=", 1.2), ("x tcpflow", "<=", 0.5)]),
    ("1g-session-pcapng", "big", "pcapng", "split", {"strategy": "session"}, None),
    ("300m-short-sessions", "short", "pcap", "split", {"strategy": "session"}, ("x floor", "<=", 1.0)),
    ("1g-archive", "big", "pcap", "archive", {"strategy": "session"}, ("x floor", "<=", 1.1)),
    # split --tunnels inner of the capture wrapped in VXLAN, against split of the same traffic unwrapped, in turn
    ("1g-vxlan-inner", "big" + VXLAN, "pcap", "tunnels", {"strategy": "session", "tunnels": "inner"},
     ("x unwrapped", "<=", 1.1)),
    ("300m-short-archive", "short", "pcap", "archive", {"strategy": "session"}, ("x floor", "<=", 1.1)),
    ("300m-short-open", "short", "pcap", "open", {}, None),
    ("300m-short-queries", "short", "pcap", "queries", {}, None),
    ("1g-read", "big", "pcap", "read", {"strategy": "session"}, ("x dpkt", ">=", 8)),
    # the command against the same work through Python, in the same run
    ("1g-session-command", "big", "pcap", "command-split", {"strategy": "session"}, ("x python", "<=", 1.03)),
    ("1g-archive-command", "big", "pcap", "command-archive", {"strategy": "session"}, ("x python", "<=", 1.03)),
    ("300m-short-flows-csv", "short", "pcap", "command-flows", {}, ("time", "<=", 1.0)),
    # flow_arrays against nfstream (all cores, early-flow sequences only) and create_archive, in turn
    ("1g-arrays", "big", "pcap", "arrays", ARRAYS, [("x nfstream", ">=", 15), ("x archive", "<=", 0.6)]),
    ("1g-arrays-archive", "big", "pcap", "arrays-archive", ARRAYS, ("x capture", "<=", 0.4)),
    # memory: the arrays plus 64 MiB plus a few hundred bytes per flow
    ("300m-short-arrays", "short", "pcap", "arrays", ARRAYS, ("B/flow over 64 MiB", "<=", 512)),
    # split and archive whose filter keeps nothing: the time of reading, against pcapfloor dissect (see SELECT)
    *[("%s-select-%s-%s" % (size, keep, op), kind, "pcap", "select", {"operation": op, "keep": keep},
       ("x floor less libpcap", "<=", 1.1) if keep == "filter" else
       [("x floor", "<=", 1.1), ("command x floor", "<=", 1.1)])
      for size, kind in (("1g", "big"), ("300m", "short")) for op in ("split", "archive")
      for keep in ("port", "ip", "filter")],
]
# A selective workload's filter, for Python and for the command: a port and an address that no packet has, and a
# filter expression, which the command alone takes.
SELECT = {"port": ({"port_filters": [1]}, ["--port", "1"]),
          "ip": ({"ip_filters": ["192.0.2.1"]}, ["--ip", "192.0.2.1"]),
          "filter": (None, ["--filter", "port 1"])}
ON_ARCHIVE = ("open", "queries", "command-flows")   # read the session archive of their capture; timed in milliseconds
# The child times only the operation: interpreter start-up, imports and setup are left out.
# Its last line is a JSON object: "s" (seconds) and whatever else it counted.
CHILD = r"""
import json, sys, time
op, cap, out, kw = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
clock, res = time.perf_counter, {}
if op == "dpkt":   # a dpkt loop reading the capture into a dict of flows keyed by 5-tuple
    import dpkt
    IP, flows = (dpkt.ip.IP, dpkt.ip6.IP6), {}
    t = clock()
    with open(cap, "rb") as f:
        for ts, buf in dpkt.pcap.Reader(f):
            ip, key = dpkt.ethernet.Ethernet(buf).data, None
            if isinstance(ip, IP):   # both directions of a session share the key
                a, b = (ip.src, getattr(ip.data, "sport", 0)), (ip.dst, getattr(ip.data, "dport", 0))
                key = (ip.p,) + ((a, b) if a <= b else (b, a))
            flows.setdefault(key, []).append((ts, buf))
    res["s"], res["flows"], res["packets"] = clock() - t, len(flows), sum(map(len, flows.values()))
elif op == "nfstream":   # early-flow sequences of every flow, on all cores, nothing else
    import nfstream
    t = clock()
    res["flows"] = sum(1 for _ in nfstream.NFStreamer(source=cap, statistical_analysis=False, n_dissections=0,
                                                      splt_analysis=8, n_meters=0))
    res["s"] = clock() - t
else:
    import flowsieve
    if op.startswith("arrays"):
        import numpy   # imported by the first call otherwise: a user of the arrays has it already
    t = clock()
    if op == "split":
        flowsieve.split(cap, out, **kw)
    elif op == "archive":
        flowsieve.create_archive(cap, out, **kw)
        res["s"], archive = clock() - t, flowsieve.Archive.open(out)
    elif op in ("arrays", "arrays-archive"):   # from the capture, or from its archive (opened untimed)
        if op == "arrays-archive":
            archive = flowsieve.Archive.open(out)
            t = clock()
        arrays = flowsieve.flow_arrays(archive if op == "arrays-archive" else cap, **kw)
        res["s"], res["flows"] = clock() - t, len(arrays.id)
        res["array_bytes"] = sum(getattr(arrays, n).nbytes for n in dir(arrays) if n[0] != "_" and n != "frame")
    elif op == "read":
        archive = flowsieve.read_flows(cap, **kw)
        res["read_flows"] = clock() - t
        n = 0
        for flow in archive.flows():
            packets = flow.packets()
            for p in packets:
                p.data
            n += len(packets)
        res["packets"] = n
    else:
        archive = flowsieve.Archive.open(out)
        res["s"], n = clock() - t, len(archive)
        if op == "queries":   # open is not timed here; the address is one that appears
            ip = archive.get_flow(n // 2 + 1).dst_addr
            t = clock()
            found = [archive.find_by_protocol("tcp"), archive.find_by_port(80), archive.find_by_ip(ip),
                     archive.get_flow(n)]
            res["s"] = clock() - t
            assert found[2] and found[3] is not None and found[3].id == n, (ip, found[3])
            res["found"] = "tcp %d, port 80 %d, ip %d, get_flow(%d)" % (*map(len, found[:3]), n)
    res.setdefault("s", clock() - t)
    if op != "split" and "flows" not in res:
        res["flows"] = len(archive)
        archive = None   # a read_flows archive deletes its temporary file here
print(json.dumps(res))
"""


def use_project_venv():
    """Runs on in the project's .venv: the module's build needs CMake 3.26 or later (Debian 12 has 3.25), which
    comes from PyPI there, and the interpreter whose headers it builds against."""
    venv = os.path.join(ROOT, ".venv")
    if os.path.realpath(sys.prefix) != os.path.realpath(venv):
        python = os.path.join(venv, "bin", "python")
        if not os.path.exists(python):
            sys.exit("no .venv here: make it first with  bash tools/install.sh")
        os.execv(python, [python] + sys.argv)
    bin_dir = os.path.dirname(sys.executable)
    if not all(os.path.exists(os.path.join(bin_dir, tool)) for tool in ("cmake", "ninja")):
        print("  installing cmake and ninja into .venv", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                        "cmake>=3.26", "ninja"], check=True)
    os.environ["PATH"] = bin_dir + os.pathsep + os.environ.get("PATH", "")


def build(pcapfloor=False):
    cmds = [["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DPython_EXECUTABLE=" + sys.executable], ["ninja", "-C", BUILD]]
    cmds.append(["g++", "-O2", "-std=c++20", "-o", FLOOR, os.path.join(HERE, "floor.cpp")])
    if pcapfloor and os.path.exists(PCAPFLOOR_SOURCE):
        cmds.append(["gcc", "-O2", "-o", PCAPFLOOR, PCAPFLOOR_SOURCE])
    for cmd in cmds:
        r = subprocess.run(cmd, capture_output=True, text=True)
        if r.returncode:
            sys.exit("build failed: %s\n%s%s" % (" ".join(cmd), r.stdout[-3000:], r.stderr[-3000:]))


def dpkt_python():
    """Interpreter of a private venv with dpkt, made on first use; dpkt is never a dependency of the project."""
    py = os.path.join(VENV, "bin", "python")
    if not os.path.exists(py) or subprocess.run([py, "-c", "import dpkt"], capture_output=True).returncode:
        print("  installing dpkt into " + VENV, flush=True)
        subprocess.run([sys.executable, "-m", "venv", VENV], check=True)
        subprocess.run([py, "-m", "pip", "install", "-q", "dpkt==1.9.8"], check=True)
    return py


def capture(kind, fmt, scale, seed):
    """Path of the cached capture, generated if missing. The name carries a hash
    of the generator so an edited generator never reuses stale traffic."""
    wrapped = kind.endswith(VXLAN)
    size, sessions = SCALES[scale][kind[:-len(VXLAN)] if wrapped else kind]
    tag = hashlib.sha1(open(GEN, "rb").read()).hexdigest()[:8]
    path = os.path.join(SHM, "%dmb-%ds-seed%d%s-%s.%s" % (size, sessions, seed, VXLAN if wrapped else "", tag, fmt))
    if not os.path.exists(path):
        for old in os.listdir(SHM):                    # captures from older generator versions
            if old.endswith((".pcap", ".pcapng", ".part")) and tag not in old:
                os.remove(os.path.join(SHM, old))
        free = shutil.disk_usage(SHM).free
        if free < size * 1e6 * 3:                      # capture + split output + copy
            sys.exit("not enough room on /dev/shm for a %d MB capture (%.1f GB free)" % (size, free / 1e9))
        r = subprocess.run([sys.executable, GEN, path, "--size-mb", str(size), "--sessions", str(sessions),
                            "--format", fmt, "--seed", str(seed)] + (["--vxlan", str(VXLAN_VNI)] if wrapped else []),
                           capture_output=True, text=True, check=True)
        print("  generated " + r.stdout.strip(), flush=True)
    return path


def archive_of(cap):
    return os.path.join(SHM, "archive-" + os.path.basename(cap) + ".fsieve")


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


def run_child(op, cap, out="-", kwargs=None, python=sys.executable, module_dir=None):
    """Runs one operation of CHILD in a child process; returns its result with the peak
    RssAnon (kB) and CPU times added. RssAnon is sampled from here because the child's
    own VmHWM also counts the mapped input file, which is not memory the module holds."""
    env = dict(os.environ, PYTHONPATH=(module_dir or BUILD) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    # files, not pipes: a chatty child can never block on a full pipe while we poll
    stdout, stderr = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    started = time.perf_counter()
    p = subprocess.Popen([python, "-c", CHILD, op, cap, out, json.dumps(kwargs or {})], env=env,
                         stdout=stdout, stderr=stderr)
    peak = 0
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        peak = max(peak, rss_anon_kb(p.pid))
        time.sleep(0.002)
    wall = time.perf_counter() - started
    if op == "read" and os.path.exists("/tmp/flowsieve_py_%d.fsieve" % p.pid):   # left by a failed child
        os.remove("/tmp/flowsieve_py_%d.fsieve" % p.pid)
    code = os.waitstatus_to_exitcode(status)
    stdout.seek(0)
    stderr.seek(0)
    if code:
        raise RuntimeError("%s failed (exit %d): %s" % (op, code, stderr.read().decode().strip()[-2000:]))
    res = json.loads(stdout.read().decode().strip().splitlines()[-1])
    res.update(peak=peak, user=usage.ru_utime, sys=usage.ru_stime, wall=wall)
    return res


def median(results):
    """The result of median time, with the peak RssAnon over all runs."""
    mid = sorted(results, key=lambda r: r["s"])[len(results) // 2]
    return dict(mid, peak=max(r.get("peak", 0) for r in results))


def median_of(runs, once):
    return median([once() for _ in range(runs)])


def floor_command(op, cap, out, kwargs):
    """The floor's command line for a split or archive workload."""
    if op == "archive":
        return [FLOOR, "archive", cap, out]
    return [FLOOR, "split", cap, out] + (["--l7"] if kwargs.get("output_type") == "l7" else []) \
        + (["--nosplit"] if kwargs.get("strategy") == "nosplit" else [])


def run_floor(args, quiet=False):
    t = time.perf_counter()
    # pcapfloor prints what it counted; tcpflow (quiet) tells where its report goes
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL if quiet else None)
    _, status, usage = os.wait4(p.pid, 0)
    if os.waitstatus_to_exitcode(status):
        raise RuntimeError("floor failed: " + " ".join(args))
    return {"s": time.perf_counter() - t, "user": usage.ru_utime, "sys": usage.ru_stime}


def run_command(args):
    """Times one run of the native command (quiet: no progress)."""
    t = time.perf_counter()
    subprocess.run([COMMAND] + args, check=True, stdout=subprocess.DEVNULL)
    return {"s": time.perf_counter() - t}


def versus_python(runs, command_once, python_once):
    """The command and the same work through Python, in turn; the median of each. Both are
    timed from here, start-up and exit included, as a user running either would wait."""
    mine, python = [], []
    for _ in range(runs):
        mine.append(command_once())
        r = python_once()
        python.append(dict(r, s=r["wall"]))
    r = median(mine)
    r["python s"] = median(python)["s"]
    r["x python"] = r["s"] / r["python s"]
    return r


def alternating(runs, once, floor_once, baseline_once=None):
    """Runs flowsieve, the floor and the baseline module if any in turn; the median of each."""
    mine, floor, baseline = [], [], []
    for _ in range(runs):
        mine.append(once())
        floor.append(floor_once())
        if baseline_once:
            baseline.append(baseline_once())
    r = median(mine)
    f = median(floor)
    r["floor s"], r["floor cpu s"] = f["s"], f["user"] + f["sys"]
    r["x floor"] = r["s"] / r["floor s"]
    # CPU time of the median runs (ours with the interpreter's start-up): steadier than time on a busy machine
    r["cpu x floor"] = (r["user"] + r["sys"]) / r["floor cpu s"]
    if baseline:
        b = median(baseline)
        r["baseline x floor"] = b["s"] / r["floor s"]
        r["baseline cpu x floor"] = (b["user"] + b["sys"]) / r["floor cpu s"]
    return r


def versus_pcap_and_tcpflow(runs, cap, out, kwargs):
    """split -t stream, split -t pcap and tcpflow -r CAP -o DIR in turn; the median of each."""
    fresh = functools.partial(in_fresh_dir, out)
    pcap_kwargs = dict(kwargs, output_type="pcap")
    tcpflow = shutil.which("tcpflow")
    mine, pcap, other = [], [], []
    for _ in range(runs):
        mine.append(fresh(lambda: run_child("split", cap, out, kwargs)))
        pcap.append(fresh(lambda: run_child("split", cap, out, pcap_kwargs)))
        if tcpflow:
            other.append(fresh(lambda: run_floor([tcpflow, "-r", cap, "-o", out], quiet=True)))
    r = median(mine)
    r["pcap s"] = median(pcap)["s"]
    r["x pcap"] = r["s"] / r["pcap s"]
    r["result"] += ", split -t pcap %.2f s" % r["pcap s"]
    if other:
        t = median(other)
        r["x tcpflow"] = r["s"] / t["s"]
        r["result"] += ", tcpflow %.2f s (%s)" % (t["s"], t["result"])
    else:
        r["result"] += ", tcpflow not installed (tools/install-deps.sh)"
    return r


def versus_unwrapped(runs, cap, out, kwargs):
    """split with kwargs of the wrapped capture and split of the same traffic unwrapped (kwargs["unwrapped"]), in
    turn; the median of each."""
    fresh = functools.partial(in_fresh_dir, out)
    plain = kwargs["unwrapped"]
    inner = {k: v for k, v in kwargs.items() if k != "unwrapped"}
    wrapped_runs, plain_runs = [], []
    for _ in range(runs):
        wrapped_runs.append(fresh(lambda: run_child("split", cap, out, inner)))
        plain_runs.append(fresh(lambda: run_child("split", plain, out, {"strategy": inner["strategy"]})))
    r, p = median(wrapped_runs), median(plain_runs)
    r["unwrapped s"] = p["s"]
    r["x unwrapped"] = r["s"] / p["s"]
    r["result"] += ", unwrapped %.2f s, %s" % (p["s"], p["result"])
    return r


def in_fresh_dir(out, run):
    """Runs a split into an empty directory; its result counts the files made."""
    rmtree(out)
    os.makedirs(out)
    r = run()
    r["result"] = "%d files" % sum(len(files) for _, _, files in os.walk(out))
    rmtree(out)
    return r


def measure(name, op, cap, kwargs, runs):
    """Median of `runs` of one workload, with a short text of what it produced in "result"."""
    out = os.path.join(SHM, "out-" + name)
    fresh = functools.partial(in_fresh_dir, out)
    if op == "split":
        return alternating(runs, lambda: fresh(lambda: run_child(op, cap, out, kwargs)),
                           lambda: fresh(lambda: run_floor(floor_command(op, cap, out, kwargs))),
                           BASELINE and (lambda: fresh(lambda: run_child(op, cap, out, kwargs, module_dir=BASELINE))))
    if op == "stream":
        return versus_pcap_and_tcpflow(runs, cap, out, kwargs)
    if op == "connection":  # against -s session of the same capture, in turn
        mine, session = [], []
        for _ in range(runs):
            mine.append(fresh(lambda: run_child("split", cap, out, kwargs)))
            session.append(fresh(lambda: run_child("split", cap, out, {"strategy": "session"})))
        r = median(mine)
        r["session s"] = median(session)["s"]
        r["x session"] = r["s"] / r["session s"]
        r["result"] = "-s session %.2f s" % r["session s"]
        return r
    if op == "tunnels":
        return versus_unwrapped(runs, cap, out, kwargs)
    if op == "command-split":
        r = versus_python(runs, lambda: fresh(lambda: run_command(["split", cap, out, "-q", "-s", kwargs["strategy"]])),
                          lambda: fresh(lambda: run_child("split", cap, out, kwargs)))
        r["result"] = "command %.2f s, python -c split() %.2f s" % (r["s"], r["python s"])
        return r
    if op == "command-archive":
        out = os.path.join(SHM, "out-" + name + ".fsieve")
        r = versus_python(runs, lambda: run_command(["archive", cap, out, "-q", "-s", kwargs["strategy"]]),
                          lambda: run_child("archive", cap, out, kwargs))
        rmtree(out)
        r["result"] = "command %.2f s, python -c create_archive() %.2f s" % (r["s"], r["python s"])
        return r
    if op in ("arrays", "arrays-archive"):
        return measure_arrays(op, cap, kwargs, runs)
    if op == "select":
        return measure_select(name, cap, kwargs, runs)
    out = archive_of(cap)
    if op in ON_ARCHIVE and not os.path.exists(out):
        run_child("archive", cap, out)        # untimed: the archive that these workloads read
    if op == "archive":
        floor_once = lambda: run_floor(floor_command(op, cap, out + ".floor", kwargs))  # noqa: E731
        r = alternating(runs, lambda: run_child(op, cap, out, kwargs), floor_once,
                        BASELINE and (lambda: run_child(op, cap, out, kwargs, module_dir=BASELINE)))
        if CHECK_FLOOR:  # the two floors in turn: the same work should take the same time
            ours, theirs = [], []
            for _ in range(runs):
                ours.append(floor_once())
                theirs.append(run_floor([PCAPFLOOR, "archive", cap, out + ".floor"]))
            check = "floor.cpp %.2f s, pcapfloor.c %.2f s" % (median(ours)["s"], median(theirs)["s"])
        rmtree(out + ".floor")
    elif op == "command-flows":
        r = median_of(runs, lambda: run_command(["flows", out, "--format", "csv"]))
        lines = subprocess.run([COMMAND, "flows", out, "--format", "csv"], check=True, capture_output=True).stdout
        r["result"] = "%d flows as csv" % (lines.count(b"\n") - 1)
        return r
    else:
        r = median_of(runs, lambda: run_child(op, cap, out, kwargs))
    r["result"] = r.pop("found", "%d flows" % r["flows"])
    if op == "archive":
        r["result"] += ", %.0f MB" % (os.path.getsize(out) / 1e6) + (", " + check if CHECK_FLOOR else "")
    if op == "read":
        py = dpkt_python()
        ref = median_of(runs, lambda: run_child("dpkt", cap, python=py))
        r["x dpkt"] = ref["s"] / r["s"]
        r["result"] += ", %d packets (read_flows %.2f s); dpkt %.2f s, %d flows, %d packets, peak RssAnon %.0f MB" \
            % (r["packets"], r["read_flows"], ref["s"], ref["flows"], ref["packets"], ref["peak"] / 1024)
    return r


def measure_select(name, cap, kwargs, runs):
    """A split or archive whose filter keeps nothing, through Python and the command, in turn with pcapfloor dissect
    (map the capture, walk and dissect every record, look up its session): a selective run costs what reading does.
    With a filter expression, the command with --port 1 runs in turn too: the difference is libpcap's own cost."""
    if not os.path.exists(PCAPFLOOR_SOURCE):
        raise RuntimeError("the floor of selective runs is " + PCAPFLOOR_SOURCE + ", which is missing")
    if not os.path.exists(PCAPFLOOR):
        raise RuntimeError(PCAPFLOOR + " is not built: run without --no-build")
    op, keep = kwargs["operation"], kwargs["keep"]
    python_kwargs, options = SELECT[keep]
    out = os.path.join(SHM, "out-" + name)

    def fresh(run):
        rmtree(out)
        r = run()
        rmtree(out)
        return r
    runners = {"command": lambda: fresh(lambda: run_command([op, cap, out, "-q"] + options))}
    if python_kwargs:
        runners["python"] = lambda: fresh(lambda: run_child(op, cap, out, python_kwargs))
    else:
        runners["port"] = lambda: fresh(lambda: run_command([op, cap, out, "-q"] + SELECT["port"][1]))
    results, floor = {k: [] for k in runners}, []
    for _ in range(runs):
        for k, once in runners.items():
            results[k].append(once())
        floor.append(run_floor([PCAPFLOOR, "dissect", cap]))
    f = median(floor)
    timed = {k: median(v)["s"] for k, v in results.items()}
    r = median(results["python" if python_kwargs else "command"])
    r["floor s"], r["floor cpu s"] = f["s"], f["user"] + f["sys"]
    r["x floor"] = r["s"] / f["s"]
    r["command x floor"] = timed["command"] / f["s"]
    if "user" in r:   # Python's CPU time, its start-up included
        r["cpu x floor"] = (r["user"] + r["sys"]) / r["floor cpu s"]
    said = ["command %s %.2f s" % (" ".join(options), timed["command"])]
    if python_kwargs:
        said.append("python %.2f s" % timed["python"])
    else:
        libpcap = timed["command"] - timed["port"]
        r["x floor less libpcap"] = (r["s"] - libpcap) / f["s"]
        said.append("--port 1 %.2f s: libpcap %+.2f s" % (timed["port"], libpcap))
    r["result"] = ", ".join(said + ["pcapfloor dissect %.2f s" % f["s"]])
    return r


def has_nfstream():
    return subprocess.run([sys.executable, "-c", "import nfstream"], capture_output=True).returncode == 0


def measure_arrays(op, cap, kwargs, runs):
    """flow_arrays of the capture in turn with nfstream and create_archive; or of its archive in turn with the
    capture. The arrays' own bytes are taken from the peak: what is left is the working set."""
    out = archive_of(cap)
    mine, others = [], {}
    if op == "arrays":
        rivals = {"archive": lambda: run_child("archive", cap, out, {"strategy": "session"})}
        if has_nfstream():
            rivals["nfstream"] = lambda: run_child("nfstream", cap)
    else:
        if not os.path.exists(out):
            run_child("archive", cap, out)   # untimed: the archive read
        rivals = {"capture": lambda: run_child("arrays", cap, "-", kwargs)}
    for _ in range(runs):
        mine.append(run_child(op, cap, out, kwargs))
        for name, once in rivals.items():
            others.setdefault(name, []).append(once())
            if op == "arrays" and name == "archive":
                rmtree(out)
    r = median(mine)
    said = []
    for name, results in others.items():
        s = median(results)["s"]
        r["x " + name] = s / r["s"] if name == "nfstream" else r["s"] / s
        said.append("%s %.2f s" % ("create_archive" if name == "archive" else name, s))
    if op == "arrays" and "nfstream" not in others:
        said.append("nfstream not installed")
    extra = r["peak"] * 1024 - r["array_bytes"]
    r["extra MB"] = extra / 2**20
    r["B/flow over 64 MiB"] = max(0, extra - 64 * 2**20) / max(1, r["flows"])
    r["result"] = "%d flows, arrays %.0f MB, peak RssAnon - arrays %.0f MB (%.0f B/flow over 64 MiB); %s" % (
        r["flows"], r["array_bytes"] / 2**20, r["extra MB"], r["B/flow over 64 MiB"], ", ".join(said))
    return r


HEAD = ["workload", "capture MB", "time", "MB/s", "copy s", "x copy", "floor s", "x floor", "baseline x floor",
        "floor cpu s", "cpu x floor", "baseline cpu x floor",
        "x dpkt", "x python", "x nfstream", "x archive", "x capture", "x pcap", "x tcpflow", "x unwrapped",
        "x session", "command x floor",
        "x floor less libpcap", "extra MB",
        "peak RssAnon MB", "user s", "sys s", "result", "target"]


def cells(r):
    """The table cells of one result row; "" where a column does not apply."""
    if "error" in r:
        return [r["name"], "%.0f" % r["mb"], "failed"] + [""] * (len(HEAD) - 5) + [r["error"].splitlines()[-1], ""]
    ms = r["op"] in ON_ARCHIVE
    out = [r["name"], "%.0f" % r["mb"], "%.1f ms" % (r["s"] * 1e3) if ms else "%.2f s" % r["s"],
           "" if ms else "%.0f" % (r["mb"] / r["s"]), "" if ms else "%.2f" % r["copy s"],
           "" if ms else "%.2f" % r["x copy"], "%.2f" % r["floor s"] if "floor s" in r else "",
           "%.2f" % r["x floor"] if "x floor" in r else "",
           "%.2f" % r["baseline x floor"] if "baseline x floor" in r else "",
           "%.2f" % r["floor cpu s"] if "floor cpu s" in r else "",
           "%.2f" % r["cpu x floor"] if "cpu x floor" in r else "",
           "%.2f" % r["baseline cpu x floor"] if "baseline cpu x floor" in r else "",
           "%.1f" % r["x dpkt"] if "x dpkt" in r else "",
           "%.3f" % r["x python"] if "x python" in r else "",
           *("%.2f" % r[c] if c in r else ""
             for c in ("x nfstream", "x archive", "x capture", "x pcap", "x tcpflow", "x unwrapped", "x session",
                       "command x floor",
                       "x floor less libpcap", "extra MB")),
           "%.1f" % (r["peak"] / 1024) if r.get("peak") else "", "%.2f" % r["user"] if "user" in r else "",
           "%.2f" % r["sys"] if "sys" in r else "", r["result"], ""]
    said = []
    for col, cmp, value in [r["target"]] if isinstance(r["target"], tuple) else r["target"] or []:
        got = r["s"] if col == "time" else r.get(col)
        ok = got is not None and (got <= value if cmp == "<=" else got >= value)
        said.append("%s %s %s: %s" % (col, cmp, value, "ok" if ok else "MISSED"))
    out[-1] = "; ".join(said)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="100 MB and 30 MB captures instead of 1 GB and 300 MB (workloads 100m-* and 30m-*)")
    ap.add_argument("--only", help="comma-separated workload names")
    ap.add_argument("--runs", type=int, default=5, help="median of N runs for each workload (best of N for the copy)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true", help="keep captures over 500 MB in /dev/shm")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--baseline", metavar="DIR",
                    help="a folder with another build of the module (flowsieve.abi3.so, say an older commit's), "
                         "run in turn with this one and the floor in the split and archive workloads")
    ap.add_argument("--check-floor", action="store_true",
                    help="also time %s against the archive floor, in turn" % PCAPFLOOR_SOURCE)
    a = ap.parse_args()
    if not a.no_build:
        use_project_venv()
    global BASELINE, CHECK_FLOOR
    BASELINE = a.baseline and os.path.abspath(a.baseline)
    CHECK_FLOOR = a.check_floor
    if CHECK_FLOOR and not os.path.exists(PCAPFLOOR_SOURCE):
        sys.exit("--check-floor needs " + PCAPFLOOR_SOURCE)
    scale = "quick" if a.quick else "full"
    # Workloads by their name at this scale; --only takes either name.
    known = {sized(w[0], scale): w for w in WORKLOADS}
    known.update((w[0], w) for w in WORKLOADS)
    names = set(a.only.split(",")) if a.only else {w[0] for w in WORKLOADS}
    run_store = "store" in names   # opt-in: it generates 4 GB of captures
    names.discard("store")
    unknown = names - known.keys()
    if unknown:
        sys.exit("unknown workload(s): %s; known: %s" % (", ".join(sorted(unknown)),
                                                         ", ".join(sized(w[0], scale) for w in WORKLOADS)))
    chosen = {known[n][0] for n in names}
    todo = [(sized(w[0], scale),) + w[1:] for w in WORKLOADS if w[0] in chosen]
    if not a.no_build:
        build(CHECK_FLOOR or any(w[3] == "select" for w in todo))
    os.makedirs(SHM, exist_ok=True)
    if run_store:
        import store
        print("store", flush=True)
        store.run(COMMAND, GEN, SHM, a.runs, a.seed, a.quick)
    rows, used = [], set()
    try:
        for i, (name, kind, fmt, op, kwargs, target) in enumerate(todo):
            cap = capture(kind, fmt, scale, a.seed)
            used.add(cap)
            if op == "tunnels":   # the same traffic unwrapped, split in turn
                kwargs = dict(kwargs, unwrapped=capture(kind[:-len(VXLAN)], fmt, scale, a.seed))
                used.add(kwargs["unwrapped"])
            # The targets are set for the full captures: a quick run cannot judge them.
            row = {"name": name, "op": op, "mb": os.path.getsize(cap) / 1e6, "target": None if a.quick else target}
            if op not in ON_ARCHIVE:
                row["copy s"] = time_copy(cap, a.runs)
            try:
                row.update(measure(name, op, cap, kwargs, a.runs))
                row["x copy"] = row["s"] / row.get("copy s", 1)
            except RuntimeError as e:
                row["error"] = str(e)
            if not any(w[1:3] == (kind, fmt) and w[3] in ON_ARCHIVE for w in todo[i + 1:]):
                rmtree(archive_of(cap))          # no later workload reads it
            rows.append(row)
            shown = [h + " " + c for h, c in zip(HEAD[1:], cells(row)[1:]) if c]
            print("%-20s %s" % (name, row.get("error") or "  ".join(shown)), flush=True)
    finally:
        for p in os.listdir(SHM):
            if p.startswith(("out-", "archive-")) or p == "copy.bin":
                rmtree(os.path.join(SHM, p))
        if not a.keep:
            for cap in used:
                if os.path.getsize(cap) > 500e6:
                    os.remove(cap)

    if not rows:
        return
    print("\n| " + " | ".join(HEAD) + " |")
    print("|---|" + "---:|" * (len(HEAD) - 3) + "---|---|")
    for row in rows:
        print("| " + " | ".join(cells(row)) + " |")


if __name__ == "__main__":
    main()
