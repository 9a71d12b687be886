#!/usr/bin/env python3
"""flowsieve capture against tcpdump: the highest rate at which each stores every packet sent, and a stream from a
pipe against building an archive of the file.

    python3 bench/capture.py CAPTURE [--flowsieve PATH] [--mbps 250,500,1000,2000,0] [--pipe-runs 3]

Live (root, ip, tcpreplay): a veth pair with one end in a network namespace that the benchmark makes and removes;
tcpreplay sends CAPTURE from the namespace at each rate (0: --topspeed) while `flowsieve capture -i` and then
`tcpdump -i IF -B 65536 -w FILE` capture the other end. Packets stored are counted from the archives (the totals of
`flowsieve flows`) and from tcpdump's file (capinfos); packets sent are tcpreplay's. Frames longer than the veth's
MTU are not sent and not counted.
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def sh(*args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)


def replay(ns, peer, capture, mbps):
    rate = ["--topspeed"] if mbps == 0 else ["--mbps", str(mbps)]
    out = sh("ip", "netns", "exec", ns, "tcpreplay", "-q", "-i", peer, *rate, capture).stdout
    return int(re.search(r"Successful packets:\s+(\d+)", out).group(1))


def captured(command, settle=1.0):
    """Starts the capture; returns a function that stops it once the sender is done."""
    p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(settle)

    def stop():
        time.sleep(settle)
        p.send_signal(signal.SIGTERM if command[0] != "tcpdump" else signal.SIGINT)
        out, err = p.communicate(timeout=120)
        return out.decode() + err.decode()
    return stop


def flowsieve_packets(flowsieve, folder):
    last = sh(flowsieve, "flows", folder).stdout.strip().splitlines()[-1]
    return int(re.search(r"([\d,]+) packets", last).group(1).replace(",", ""))


def tcpdump_packets(path):
    return int(re.search(r"Number of packets:\s+(\d+)", sh("capinfos", "-c", "-M", path).stdout).group(1))


def live(args):
    ns, host, peer = f"fsbench{os.getpid()}", f"fsb{os.getpid()}a", f"fsb{os.getpid()}b"
    work = tempfile.mkdtemp(prefix="fsbench-", dir="/dev/shm")
    sh("ip", "netns", "add", ns, check=True)
    try:
        for step in (["ip", "link", "add", host, "type", "veth", "peer", "name", peer, "netns", ns],
                     ["ip", "link", "set", host, "up"], ["ip", "-n", ns, "link", "set", peer, "up"],
                     # Neither end sends packets of its own.
                     ["sysctl", "-qw", f"net.ipv6.conf.{host}.disable_ipv6=1"],
                     ["ip", "netns", "exec", ns, "sysctl", "-qw", f"net.ipv6.conf.{peer}.disable_ipv6=1"]):
            sh(*step, check=True)
        print(f"{'Mbit/s':>8} {'tool':>10} {'sent':>10} {'stored':>10} {'lost':>8} {'kernel drops':>13}")
        lossless = {}
        for mbps in args.mbps:
            for tool in ("flowsieve", "tcpdump"):
                out = os.path.join(work, tool)
                shutil.rmtree(out, ignore_errors=True)
                if tool == "flowsieve":
                    stop = captured([args.flowsieve, "capture", "-i", host, out, "--rotate", "3600", "--report", "json"])
                else:
                    stop = captured(["tcpdump", "-i", host, "-B", "65536", "-w", out + ".pcap"])
                sent = replay(ns, peer, args.capture, mbps)
                said = stop()
                drops = sum(map(int, re.findall(r'"dropped_kernel": (\d+)', said))) if tool == "flowsieve" else \
                    int((re.search(r"(\d+) packets dropped by kernel", said) or re.search("()", "")).group(1) or 0)
                stored = flowsieve_packets(args.flowsieve, out) if tool == "flowsieve" else tcpdump_packets(out + ".pcap")
                print(f"{mbps or 'top':>8} {tool:>10} {sent:>10} {stored:>10} {sent - stored:>8} {drops:>13}", flush=True)
                if stored >= sent:
                    lossless[tool] = max(lossless.get(tool, 0), mbps or float("inf"))
                shutil.rmtree(out, ignore_errors=True)
                if os.path.exists(out + ".pcap"):
                    os.remove(out + ".pcap")
        print("highest lossless rate:", {t: ("top speed" if r == float("inf") else f"{r} Mbit/s")
                                         for t, r in lossless.items()})
    finally:
        sh("ip", "link", "del", host)
        sh("ip", "netns", "del", ns)
        shutil.rmtree(work, ignore_errors=True)


def pipe(args):
    work = tempfile.mkdtemp(prefix="fsbench-", dir="/dev/shm")
    try:
        def timed(command):
            start = time.perf_counter()
            subprocess.run(command, shell=True, check=True)
            return time.perf_counter() - start
        archive, stream = [], []
        for _ in range(args.pipe_runs):
            archive.append(timed(f"{args.flowsieve} archive {args.capture} {work}/a.fsieve -q"))
            os.remove(f"{work}/a.fsieve")
            stream.append(timed(f"cat {args.capture} | {args.flowsieve} capture - {work}/store --rotate 86400 -q"))
            shutil.rmtree(f"{work}/store")
        a, s = statistics.median(archive), statistics.median(stream)
        print(f"archive of the file {a:.2f} s, capture from a pipe {s:.2f} s: x {s / a:.2f} (medians of {len(archive)})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("capture")
    parser.add_argument("--flowsieve", default=shutil.which("flowsieve") or "flowsieve")
    parser.add_argument("--mbps", type=lambda t: [int(x) for x in t.split(",")], default=[250, 500, 1000, 2000, 0])
    parser.add_argument("--pipe-runs", type=int, default=3)
    args = parser.parse_args()
    pipe(args)
    if os.geteuid() != 0 or not shutil.which("tcpreplay"):
        sys.exit("the live benchmark needs root and tcpreplay")
    live(args)


if __name__ == "__main__":
    main()
