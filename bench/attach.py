#!/usr/bin/python3
"""A run with an attachment: the engine sends a file of --mb MB to --count
recipients over one connection, against Python's smtplib sending the same
message, encoded once beforehand, to as many; both to Postfix's smtp-sink on
loopback (the sink on processor 0, the clients on processor 1), rounds
interleaved, medians. Also the engine's peak memory (VmHWM) against the file.

Usage: attach.py BUILD [--rounds N] [--count N] [--mb N]
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import CLIENT_CPU, HERE, SERVER_CPU, median, run, start_sink  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--mb", type=int, default=10)
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="veltrow-bench-")
    attachment = os.path.join(tmp, "attachment.pdf")
    with open(attachment, "wb") as f:
        f.write(os.urandom(args.mb * 1000 * 1000))
    size = os.path.getsize(attachment)
    sink, port = start_sink("-p")
    host, p, n = "127.0.0.1", str(port), str(args.count)
    clients = {
        "engine": [os.path.join(args.build, "bench", "attach_run"), host, p, n, attachment],
        "smtplib": [sys.executable, os.path.join(HERE, "smtplib_attach.py"), host, p, n, attachment],
    }
    rows = {name: [] for name in clients}
    try:
        for r in range(args.rounds):
            print(f"round {r + 1}/{args.rounds}", file=sys.stderr, flush=True)
            for name, cmd in clients.items():
                rows[name].append(run(cmd))
    finally:
        sink.send_signal(signal.SIGTERM)
        sink.wait()
        shutil.rmtree(tmp, ignore_errors=True)

    print(f"\n{args.rounds} interleaved rounds, medians; a {size / 1e6:.0f} MB file to {args.count} recipients "
          f"over one connection; smtp-sink on cpu {SERVER_CPU}, clients on cpu {CLIENT_CPU}\n")
    print(f"{'client':<10}{'wall s':>9}{'MB/s':>9}{'cpu s':>9}{'peak MiB':>10}{'before MiB':>12}")
    wall = {}
    for name, rs in rows.items():
        wall[name] = median(rs, "wall")
        sent = size * 1.37 * args.count / 1e6 / wall[name]
        print(f"{name:<10}{wall[name]:>9.2f}{sent:>9.0f}{median(rs, 'cpu'):>9.2f}"
              f"{median(rs, 'hwm_kib') / 1024:>10.1f}{median(rs, 'baseline_kib') / 1024:>12.1f}")
    ratio = wall["engine"] / wall["smtplib"]
    peak = median(rows["engine"], "hwm_kib") * 1024 / size
    growth = (median(rows["engine"], "hwm_kib") - median(rows["engine"], "baseline_kib")) * 1024 / size
    print("\ngoals")
    for text, value, goal in [("engine time <= 1.3 x smtplib", ratio, 1.3),
                              ("engine peak memory <= 2 x the file", peak, 2.0),
                              ("  (of which the run itself, above the memory before Send)", growth, 2.0)]:
        print(f"  {'met ' if value <= goal else 'MISS'} {text:<58} {value:8.2f}")


if __name__ == "__main__":
    main()
