"""The store workload of run.py (opt-in: --only store): many archives as one flow store.

A folder of ARCHIVES archives, each built from a generated capture of CAPTURE_MB MB that
starts an hour after the one before (as a capture host rotates its files), answers two
questions through the command: the packets of one connection within a time range
(`export FOLDER --flow ... --since ... --until ... --merge`) and the flows of one host
(`flows FOLDER --ip ADDR`). tcpdump answers the same with the equivalent filter over each raw
capture in turn (`tcpdump -r CAPTURE -w /dev/null FILTER`: no text to print, its cheapest
form; BPF has no time condition, and the connection appears in one capture only). The module
asks the same through `flowsieve.Store(FOLDER).find(...)` (and `store.export(...)`) in this
warm interpreter, Store made anew each time; its time is set against the command's, start-up
included (target: at most 1.2 x).

A second folder of HOURLY small archives, a capture an hour, answers a day's flows
(`--since/--until`), one host's (`--ip`), one connection's (`--community-id`) and one server
name's (`--name`) through the command and through Store.find, in turn; the name query's time
is set against the host query's (target: at most 1.5 x). Captures and archives live in
/dev/shm and are removed at the end.
"""
import csv
import io
import os
import shutil
import struct
import subprocess
import sys
import time

ARCHIVES = 40
CAPTURE_MB = 102            # 40 x 102 MB: just over 4 GB (a tenth with --quick)
SESSIONS = 26000            # per capture: over a million flows in all
HOURLY = 2000               # small archives, one an hour (a tenth with --quick)
HOURLY_MB, HOURLY_SESSIONS = 0.02, 12
TARGET = 1.2                # Store's time against the command's at most
NAME_TARGET = 1.5           # a --name query's time against an --ip query's at most
START = 1_700_000_000
STRUCT_RECORD = struct.Struct("<IIII")


def pcap_packets(path):
    with open(path, "rb") as f:
        data = f.read()
    n, pos = 0, 24
    while pos < len(data):
        pos += 16 + STRUCT_RECORD.unpack_from(data, pos)[2]
        n += 1
    return n


def timed(cmd, **kwargs):
    t = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, **kwargs)
    elapsed = time.perf_counter() - t
    if r.returncode:
        sys.exit("failed: %s\n%s" % (" ".join(map(str, cmd)), r.stderr.decode()[-2000:]))
    return elapsed, r.stdout


def median(values):
    return sorted(values)[len(values) // 2]


def in_turn(runs, *timers):
    """Median seconds of each timer, run in turn so that all meet the same load."""
    times = [[] for _ in timers]
    for _ in range(runs):
        for i, timer in enumerate(timers):
            times[i].append(timer())
    return [median(t) for t in times]


def python_timer(question):
    """Seconds of question() in this interpreter; its result is kept for a check."""
    def timer():
        t = time.perf_counter()
        timer.result = question()
        return time.perf_counter() - t
    return timer


def ratio_row(name, command_s, python_s):
    print("  %-38s command %.3f s, Store %.3f s: %.2f x (target <= %.1f: %s)" % (
        name, command_s, python_s, python_s / command_s, TARGET, "ok" if python_s / command_s <= TARGET else "MISSED"),
        flush=True)
    return name, command_s, python_s


def hourly_rows(command, flowsieve, root, runs, seed, quick):
    """The store of many small hourly archives: a day, a host and a connection, command against Store."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from gen_capture import generate
    count = HOURLY // 10 if quick else HOURLY
    folder = os.path.join(root, "hourly")
    os.makedirs(folder)
    t = time.perf_counter()
    for i in range(count):
        cap = os.path.join(root, "hour.pcap")
        generate(cap, HOURLY_MB, HOURLY_SESSIONS, seed=seed * 100000 + i, start=START + 3600 * i)
        flowsieve.create_archive(cap, os.path.join(folder, "hour-%05d.fsieve" % i))
    os.remove(cap)
    print("  generated %d hourly archives in %.0f s" % (count, time.perf_counter() - t), flush=True)
    middle_archive = flowsieve.Archive.open(os.path.join(folder, "hour-%05d.fsieve" % (count // 2)))
    middle = middle_archive.find(proto="tcp")[0]
    server_name = next(f.server_name for f in middle_archive.flows() if f.server_name)
    day = START + 3600 * (count // 2)
    questions = [("%d hourly: one day (--since/--until)" % count,
                  ["--since", str(day), "--until", str(day + 86400)], dict(since=float(day), until=float(day + 86400))),
                 ("%d hourly: --ip" % count, ["--ip", middle.src_addr], dict(ip=middle.src_addr)),
                 ("%d hourly: --community-id" % count, ["--community-id", middle.community_id],
                  dict(community_id=middle.community_id)),
                 ("%d hourly: --name" % count, ["--name", server_name], dict(name=server_name))]
    rows = []
    for name, args, query in questions:
        listing = [command, "flows", folder, *args, "-f", "csv"]
        store = python_timer(lambda: flowsieve.Store(folder).find(**query))
        command_s, python_s = in_turn(runs, lambda: timed(listing)[0], store)
        listed = timed(listing)[1].count(b"\n") - 1
        assert listed == len(store.result), (name, listed, len(store.result))
        rows.append(ratio_row(name + " (%d flows)" % listed, command_s, python_s))
    return rows


def name_row(rows):
    """The --name query's times over the --ip query's, of the command and of Store, from the hourly rows."""
    (_, ip_command, ip_python), = [r for r in rows if "--ip" in r[0]]
    (_, name_command, name_python), = [r for r in rows if "--name" in r[0]]
    worst = max(name_command / ip_command, name_python / ip_python)
    print("  --name / --ip: command %.2f x, Store %.2f x (target <= %.1f: %s)" % (
        name_command / ip_command, name_python / ip_python, NAME_TARGET, "ok" if worst <= NAME_TARGET else "MISSED"),
        flush=True)
    return name_command / ip_command, name_python / ip_python


def run(command, gen, shm, runs, seed, quick=False):
    capture_mb, sessions = (CAPTURE_MB / 10, SESSIONS // 10) if quick else (CAPTURE_MB, SESSIONS)
    root = os.path.join(shm, "store")
    shutil.rmtree(root, ignore_errors=True)
    captures, folder = os.path.join(root, "captures"), os.path.join(root, "archives")
    os.makedirs(captures)
    os.makedirs(folder)
    try:
        t = time.perf_counter()
        caps = []
        for i in range(ARCHIVES):
            cap = os.path.join(captures, "trace-%02d.pcap" % i)
            subprocess.run([sys.executable, gen, cap, "--size-mb", str(capture_mb), "--sessions", str(sessions),
                            "--seed", str(seed * 1000 + i), "--start", str(START + 3600 * i)],
                           check=True, capture_output=True)
            timed([command, "archive", "-q", cap, os.path.join(folder, "trace-%02d.fsieve" % i)])
            caps.append(cap)
        size = sum(os.path.getsize(c) for c in caps)
        print("  generated %d captures (%.2f GB) and their archives in %.0f s" % (len(caps), size / 1e9,
                                                                                  time.perf_counter() - t), flush=True)

        # The question: a TCP connection of the middle archive, and the client's address.
        _, out = timed([command, "flows", os.path.join(folder, "trace-%02d.fsieve" % (ARCHIVES // 2)),
                        "--proto", "tcp", "-f", "csv"])
        rows = list(csv.DictReader(io.StringIO(out.decode())))
        flow = max(rows, key=lambda r: int(r["packet_count"]))
        _, out = timed([command, "flows", folder, "-f", "csv"])
        flows = out.count(b"\n") - 1
        since, until = float(flow["start_ts"]), float(flow["start_ts"]) + float(flow["duration"])
        tuple_text = "tcp %s %s %s %s" % (flow["src_addr"], flow["src_port"], flow["dst_addr"], flow["dst_port"])
        merged = os.path.join(root, "merged.pcap")
        export = [command, "export", folder, "--flow", tuple_text, "--since", "%.6f" % since,
                  "--until", "%.6f" % until, "--merge", "-o", merged]
        listing = [command, "flows", folder, "--ip", flow["src_addr"], "-f", "csv"]
        bpf_flow = ("tcp and ((src host {0} and src port {1} and dst host {2} and dst port {3}) or "
                    "(src host {2} and src port {3} and dst host {0} and dst port {1}))").format(
                        flow["src_addr"], flow["src_port"], flow["dst_addr"], flow["dst_port"])
        bpf_host = "host " + flow["src_addr"]

        def tcpdump(bpf):
            return sum(timed(["tcpdump", "-r", c, "-w", "/dev/null", bpf])[0] for c in caps)

        rows = []
        for name, store_cmd, bpf in (("5-tuple + time range export --merge", export, bpf_flow),
                                     ("--ip listing", listing, bpf_host)):
            store_times, tcpdump_times = [], []
            for _ in range(runs):   # in turn, so both meet the same load
                store_times.append(timed(store_cmd)[0])
                tcpdump_times.append(tcpdump(bpf))
            s, d = median(store_times), median(tcpdump_times)
            rows.append((name, s, d))
            print("  %-38s store %.3f s, tcpdump %.2f s: %.0f x" % (name, s, d, d / s), flush=True)
        packets = pcap_packets(merged)
        assert packets == int(flow["packet_count"]), (packets, flow)

        # The same questions from Python, the module built beside the command.
        sys.path.insert(0, os.path.dirname(command))
        import flowsieve
        merged_py = os.path.join(root, "merged-py.pcap")

        def store_export():
            store = flowsieve.Store(folder)
            return store.export(store.find(flow=tuple_text, since="%.6f" % since, until="%.6f" % until), merged_py)
        python_rows = [ratio_row("Store.find + export", *in_turn(runs, lambda: timed(export)[0],
                                                                 python_timer(store_export)))]
        with open(merged, "rb") as a, open(merged_py, "rb") as b:
            assert a.read() == b.read(), "Store.export differs from export --merge"
        find = python_timer(lambda: flowsieve.Store(folder).find(ip=flow["src_addr"]))
        python_rows.append(ratio_row("Store.find(ip=...)", *in_turn(runs, lambda: timed(listing)[0], find)))
        hourly = hourly_rows(command, flowsieve, root, runs, seed, quick)
        python_rows += hourly
        name_ratios = name_row(hourly)

        print("\n%d archives, %.2f GB of captures, %d flows; the connection: %s, %d packets" % (
            len(caps), size / 1e9, flows, tuple_text, packets))
        print("\n| question | store s | tcpdump s | x faster |\n|---|---:|---:|---:|")
        for name, s, d in rows:
            print("| %s | %.3f | %.2f | %.0f |" % (name, s, d, d / s))
        print("\n| question | command s | Store s | Store / command (target <= %.1f) |\n|---|---:|---:|---:|" % TARGET)
        for name, c, p in python_rows:
            print("| %s | %.3f | %.3f | %.2f |" % (name, c, p, p / c))
        print("\n--name over --ip, hourly archives (target <= %.1f): command %.2f x, Store %.2f x" % (
            NAME_TARGET, *name_ratios))
    finally:
        shutil.rmtree(root, ignore_errors=True)
