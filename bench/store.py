"""The store workload of run.py (opt-in: --only store): many archives as one flow store.

A folder of ARCHIVES archives, each built from a generated capture of CAPTURE_MB MB that
starts an hour after the one before (as a capture host rotates its files), answers two
questions through the command: the packets of one connection within a time range
(`export FOLDER --flow ... --since ... --until ... --merge`) and the flows of one host
(`flows FOLDER --ip ADDR`). tcpdump answers the same with the equivalent filter over each raw
capture in turn (`tcpdump -r CAPTURE -w /dev/null FILTER`: no text to print, its cheapest
form; BPF has no time condition, and the connection appears in one capture only). Captures
and archives live in /dev/shm and are removed at the end.
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
        print("\n%d archives, %.2f GB of captures, %d flows; the connection: %s, %d packets" % (
            len(caps), size / 1e9, flows, tuple_text, packets))
        print("\n| question | store s | tcpdump s | x faster |\n|---|---:|---:|---:|")
        for name, s, d in rows:
            print("| %s | %.3f | %.2f | %.0f |" % (name, s, d, d / s))
    finally:
        shutil.rmtree(root, ignore_errors=True)
