"""Veltrow against its peers, measured from outside in one run.

Server: Postfix's smtp-sink (pipelining off) on processor 0; every client on
processor 1. Clients: the SMTP component (bench/Component.cpp), the real main
window offscreen (bench/Window.cpp), Postfix's smtp-source -d and a Python
smtplib client (bench/smtplib_client.py). Runs are interleaved (one of each
client per round) and every figure is the median of the rounds.

Two more rows say what the machine allows: a bare client on POSIX sockets
sending the component's exact exchange (bench/Bare.cpp), sleeping in poll
for every reply or looking first as the component does; and the main window
with its journal on tmpfs (/dev/shm), which shows the run without the cost
of putting every row on the disk.

    python3 bench/run.py BUILD_DIR [--rounds N] [--messages N] [--silent S]
                         [--attach-mb N] [--before DIR]

--before DIR runs the component and window programs found in DIR as well, in
the same rounds, so that two builds are compared under the same load.

    python3 bench/run.py BUILD_DIR --delay-ms 10 [--rounds N] [--messages N]

measures over a provider's distance instead: a proxy holds every byte 10 ms
each way (bench/delay_path.py), in front of a TLS-terminating stage that
offers STARTTLS, a login and PIPELINING and passes the mail transactions on
to Postfix's smtp-sink (pipelining on). Over that path, one connection with
STARTTLS and a login each: the component pipelined and one command at a
time, the main window with its journal on the disk, and Python's smtplib;
smtp-source, which speaks no TLS, through the same delay straight to the
sink. Every client is timed from before it connects (the window from its
Send) to its last message accepted, and to its first.
"""
import argparse
import base64
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_CPU, CLIENT_CPU = "0", "1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sink(*options, pinned=True):
    """Starts Postfix's smtp-sink on a free loopback port; returns it and the
    port once it answers there."""
    port = free_port()
    cmd = ["smtp-sink", "-u", "nobody", *options, f"127.0.0.1:{port}", "64"]
    if pinned:
        cmd = ["taskset", "-c", SERVER_CPU] + cmd
    sink = subprocess.Popen(cmd, stderr=subprocess.DEVNULL)
    while sink.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            return sink, port
        except OSError:
            time.sleep(0.01)
    sys.exit("smtp-sink did not start")


def run(cmd, env=None):
    """Runs cmd pinned to the client processor; returns its result line as a
    dict, completed with the process's own rusage (wait4) and wall time."""
    start = time.monotonic()
    p = subprocess.Popen(["taskset", "-c", CLIENT_CPU] + cmd, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    out, err = p.communicate()
    wall = time.monotonic() - start
    # communicate() has reaped it; its rusage is the children's delta below.
    if p.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({p.returncode}): {err.decode(errors='replace')[-800:]}")
    result = {"proc_wall": wall}
    for line in out.decode().splitlines():
        if line.startswith("result "):
            for field in line.split()[1:]:
                k, v = field.split("=", 1)
                result[k] = v if k == "what" else float(v)
        elif line.startswith("baseline "):
            result["baseline_kib"] = float(line.split("=")[1])
    return result


def run_rusage(cmd):
    """For programs that report nothing themselves (smtp-source, base64):
    wall, processor time and context switches of the whole process."""
    start = time.monotonic()
    p = subprocess.Popen(["taskset", "-c", CLIENT_CPU] + cmd, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    _, status, ru = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(cmd)} failed: {p.stderr.read().decode(errors='replace')[-800:]}")
    return {"wall": wall, "cpu": ru.ru_utime + ru.ru_stime, "vcsw": ru.ru_nvcsw,
            "ivcsw": ru.ru_nivcsw, "hwm_kib": ru.ru_maxrss}


def syscalls(cmd, count, env=None):
    """System calls and context switches per message, whole process, by perf."""
    if not shutil.which("perf"):
        return None
    out = subprocess.run(["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter,context-switches",
                          "taskset", "-c", CLIENT_CPU] + cmd, capture_output=True, env=env)
    values = {}
    for line in out.stderr.decode().splitlines():
        parts = line.split(",")
        if len(parts) > 2 and parts[0].strip().isdigit():
            values[parts[2]] = int(parts[0]) / count
    return values or None


class SilentServer:
    """Accepts connections and never says a word."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(c)
            while len(self.held) > 4:
                self.held.pop(0).close()


def python_encode(path):
    start, cpu = time.monotonic(), time.process_time()
    with open(path, "rb") as f:
        base64.encodebytes(f.read())
    return {"wall": time.monotonic() - start, "cpu": time.process_time() - cpu}


def median(rows, key):
    values = [r[key] for r in rows if key in r]
    return statistics.median(values) if values else float("nan")


# Over the delayed path nothing is pinned: the wall time is the network's,
# and a process pinned beside other work on a shared machine waits for its
# processor at every one of the many wake-ups a round trip costs.

def started(cmd, env=None):
    """Starts a server piece; returns it and the port it printed."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, env=env)
    line = p.stdout.readline().decode().split()
    if line[:1] != ["port"]:
        sys.exit(f"{' '.join(cmd)} did not start")
    return p, line[1]


def first_ms(cmd, env):
    """run(), and the "first ms=" line of the component and the window."""
    p = subprocess.run(cmd, capture_output=True, env=env)
    if p.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({p.returncode}): {p.stderr.decode(errors='replace')[-800:]}")
    result = {}
    for line in p.stdout.decode().splitlines():
        if line.startswith("first ms="):
            result["first_ms"] = float(line.split("=")[1])
        elif line.startswith("result "):
            for field in line.split()[1:]:
                k, v = field.split("=", 1)
                if k != "what":
                    result[k] = float(v)
    return result


def delayed(args):
    n, ms = args.messages, args.delay_ms
    bench_dir = os.path.join(args.build, "bench")
    tmp = tempfile.mkdtemp(prefix="veltrow-path-")
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    sink, sink_port = start_sink(pinned=False)
    sink_port = str(sink_port)
    path = os.path.join(HERE, "delay_path.py")
    pieces = []
    try:
        stage, stage_port = started([sys.executable, path, "stage", cert, key, sink_port])
        pieces.append(stage)
        proxy, port = started([sys.executable, path, "delay", str(ms), stage_port])
        pieces.append(proxy)
        plain, plain_port = started([sys.executable, path, "delay", str(ms), sink_port])
        pieces.append(plain)
        env = dict(os.environ, SSL_CERT_FILE=cert)
        gui = dict(env, QT_QPA_PLATFORM="offscreen")
        login = ["bench@example.com", "bench-pass"]
        clients = {
            "component, pipelined": ([os.path.join(bench_dir, "component"), "secure", "localhost", port, str(n)]
                                     + login, env),
            "component, one at a time": ([os.path.join(bench_dir, "component"), "secure", "localhost", port,
                                          str(n)] + login + ["one"], env),
            "window, journal on disk": ([os.path.join(bench_dir, "window"), "localhost", port, str(n)] + login,
                                        gui),
            "smtplib": ([sys.executable, os.path.join(HERE, "smtplib_starttls.py"), port, str(n), cert] + login,
                        env),
        }
        source = ["smtp-source", "-d", "-m", str(n), "-l", "1000", "-f", "sender@example.com",
                  "-t", "rcpt@example.com", "-M", "bench.example.com", f"127.0.0.1:{plain_port}"]
        rows = {k: [] for k in list(clients) + ["smtp-source (no TLS)"]}
        for r in range(args.rounds):
            print(f"round {r + 1}/{args.rounds}", file=sys.stderr, flush=True)
            for name, (cmd, e) in clients.items():
                rows[name].append(first_ms(cmd, e))
            start = time.monotonic()
            subprocess.run(source, check=True, capture_output=True)
            rows["smtp-source (no TLS)"].append({"wall": time.monotonic() - start})
    finally:
        for p in pieces + [sink]:
            p.terminate()
            p.wait()
        shutil.rmtree(tmp, ignore_errors=True)

    rtt = 2 * ms
    limit = 1000 / rtt
    print(f"\n{args.rounds} interleaved rounds, medians; {n} messages over one connection; "
          f"{ms:g} ms each way ({rtt:g} ms round trip); STARTTLS and a login except smtp-source\n")
    print(f"{'client':<28}{'msg/s':>8}{'ms/msg':>9}{'round trips/msg':>17}{'first msg ms':>14}")
    rate, first = {}, {}
    for name, rs in rows.items():
        rate[name] = n / median(rs, "wall")
        first[name] = median(rs, "first_ms")
        print(f"{name:<28}{rate[name]:>8.1f}{1000 / rate[name]:>9.1f}{limit / rate[name]:>17.2f}"
              f"{first[name]:>14.0f}")
    print(f"{'one round trip per message':<28}{limit:>8.1f}{rtt:>9.1f}{1:>17.2f}")
    w, c = rate["window, journal on disk"], rate["component, pipelined"]
    goals = [
        ("window >= 3.5 x smtplib", w / rate["smtplib"], 3.5),
        ("window >= 0.8 x one round trip per message", w / limit, 0.8),
        ("window >= 0.95 x component", w / c, 0.95),
        ("component's first message: round trips <= smtplib's",
         first["component, pipelined"] / rtt - first["smtplib"] / rtt, -0.0),
        ("window's first message (from Send): round trips <= smtplib's",
         first["window, journal on disk"] / rtt - first["smtplib"] / rtt, -0.0),
    ]
    print("\ngoals")
    for text, value, goal in goals:
        met = value >= goal if goal > 0 else value <= 0.5
        print(f"  {'met ' if met else 'MISS'} {text:<62} {value:8.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--messages", type=int, default=2000)
    ap.add_argument("--silent", type=int, default=10)
    ap.add_argument("--attach-mb", type=int, default=50)
    ap.add_argument("--before")
    ap.add_argument("--delay-ms", type=float)
    args = ap.parse_args()
    if args.delay_ms:
        return delayed(args)
    n = args.messages
    builds = {"": os.path.join(args.build, "bench")}
    if args.before:
        builds[" (before)"] = args.before
    gui = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    sink, port = start_sink("-p")
    silent = SilentServer()
    tmp = tempfile.mkdtemp(prefix="veltrow-bench-")
    attachment = os.path.join(tmp, "attachment.bin")
    with open(attachment, "wb") as f:
        f.write(os.urandom(args.attach_mb * 1000 * 1000))
    size = os.path.getsize(attachment)
    host, p = "127.0.0.1", str(port)
    py = [sys.executable, os.path.join(HERE, "smtplib_client.py")]
    source = ["smtp-source", "-d", "-m", str(n), "-l", "1000", "-f", "sender@example.com",
              "-t", "rcpt@example.com", "-M", "bench.example.com", f"{host}:{port}"]

    clients = {}
    for tag, d in builds.items():
        clients["component" + tag] = ([os.path.join(d, "component"), "send", host, p, str(n)], None)
        clients["window" + tag] = ([os.path.join(d, "window"), host, p, str(n)], gui)
        if os.path.isdir("/dev/shm"):
            clients["window, tmpfs" + tag] = ([os.path.join(d, "window"), host, p, str(n)],
                                              dict(gui, VELTROW_BENCH_DIR="/dev/shm"))
    bare = os.path.join(builds[""], "bare")
    for how in ("sleep", "look"):
        clients["bare, " + how + "s"] = ([bare, how, host, p, str(n)], None)
    rows = {k: [] for k in list(clients) + ["smtp-source", "smtplib"]}
    silent_rows = {("component" + t): [] for t in builds} | {"smtplib": []}
    encode_rows = {("component" + t): [] for t in builds} | {"coreutils base64": [], "python encodebytes": []}
    memory_rows = {("component" + t): [] for t in builds}
    try:
        for r in range(args.rounds):
            print(f"round {r + 1}/{args.rounds}", file=sys.stderr, flush=True)
            for name, (cmd, env) in clients.items():
                rows[name].append(run(cmd, env))
            src = run_rusage(source)
            rows["smtp-source"].append(src)
            rows["smtplib"].append(run(py + ["send", host, p, str(n)]))
            for tag, d in builds.items():
                silent_rows["component" + tag].append(
                    run([os.path.join(d, "component"), "silent", host, str(silent.port), str(args.silent)]))
                encode_rows["component" + tag].append(run([os.path.join(d, "component"), "encode", attachment]))
                memory_rows["component" + tag].append(
                    run([os.path.join(d, "component"), "attach", host, p, attachment]))
            silent_rows["smtplib"].append(run(py + ["silent", host, str(silent.port), str(args.silent)]))
            encode_rows["coreutils base64"].append(run_rusage(["base64", attachment]))
            encode_rows["python encodebytes"].append(python_encode(attachment))
        counts = {name: syscalls(cmd, n, env) for name, (cmd, env) in clients.items()}
        counts["smtp-source"] = syscalls(source, n)
        counts["smtplib"] = syscalls(py + ["send", host, p, str(n)], n)
    finally:
        sink.send_signal(signal.SIGTERM)
        sink.wait()
        shutil.rmtree(tmp, ignore_errors=True)

    print(f"\n{args.rounds} interleaved rounds, medians; server smtp-sink -p on cpu {SERVER_CPU}, "
          f"clients on cpu {CLIENT_CPU}; {n} messages of about 1 KB over one connection\n")
    print(f"{'client':<22}{'msg/s':>9}{'cpu µs/msg':>12}{'csw/msg':>9}{'syscalls/msg':>14}")
    rate = {}
    cpu = {}
    for name, rs in rows.items():
        rate[name] = n / median(rs, "wall")
        cpu[name] = 1e6 * median(rs, "cpu") / n
        csw = (median(rs, "vcsw") + median(rs, "ivcsw")) / n
        sc = counts.get(name) or {}
        print(f"{name:<22}{rate[name]:>9.0f}{cpu[name]:>12.1f}{csw:>9.2f}"
              f"{sc.get('raw_syscalls:sys_enter', float('nan')):>14.1f}")

    print(f"\nwaiting {args.silent} s on a silent server")
    print(f"{'client':<22}{'% of a core':>12}{'wake-ups/s':>12}")
    idle = {}
    for name, rs in silent_rows.items():
        share = 100 * median(rs, "cpu") / median(rs, "wall")
        wakes = (median(rs, "vcsw") + median(rs, "ivcsw")) / median(rs, "wall")
        idle[name] = (share, wakes)
        print(f"{name:<22}{share:>12.3f}{wakes:>12.1f}")

    print(f"\nBase64 of a {size / 1e6:.0f} MB attachment read from a file")
    enc = {}
    for name, rs in encode_rows.items():
        enc[name] = size / 1e6 / median(rs, "wall")
        print(f"{name:<22}{enc[name]:>9.0f} MB/s   ({size / 1e6 / median(rs, 'cpu'):.0f} MB per processor second)")

    print(f"\npeak memory sending the {size / 1e6:.0f} MB attachment (VmHWM)")
    mem = {}
    for name, rs in memory_rows.items():
        mem[name] = median(rs, "hwm_kib") * 1024 / size
        print(f"{name:<22}{median(rs, 'hwm_kib') / 1024:>9.1f} MiB = {mem[name]:.2f} x the file "
              f"(before the send: {median(rs, 'baseline_kib') / 1024:.1f} MiB)")

    print("\ngoals")
    for tag in builds:
        c = "component" + tag
        goals = [
            (f"{c}: msg/s >= 0.8 x smtp-source", rate[c] / rate["smtp-source"], 0.8),
            (f"{c}: msg/s >= 1.2 x smtplib", rate[c] / rate["smtplib"], 1.2),
            (f"{c}: cpu per message <= 100 µs", cpu[c], -100),
            (f"window{tag}: msg/s >= 0.95 x component", rate["window" + tag] / rate[c], 0.95),
            (f"window{tag}, journal on tmpfs: >= 0.95 x component",
             rate.get("window, tmpfs" + tag, float("nan")) / rate[c], 0.95),
            (f"{c}: silent wait <= 0.1% of a core", idle[c][0], -0.1),
            (f"{c}: silent wait <= 5 wake-ups/s", idle[c][1], -5),
            (f"{c}: Base64 >= 0.3 x coreutils", enc[c] / enc["coreutils base64"], 0.3),
            (f"{c}: peak memory <= 2 x the file", mem[c], -2),
        ]
        for text, value, goal in goals:
            met = value >= goal if goal > 0 else value <= -goal
            print(f"  {'met ' if met else 'MISS'} {text:<52} {value:8.2f}")
    print(f"\nthe floor: a bare client's cpu per message, same exchange: {cpu['bare, sleeps']:.1f} µs "
          f"sleeping, {cpu['bare, looks']:.1f} µs looking first; the component: "
          f"{cpu['component'] / cpu['bare, sleeps']:.2f} x and {cpu['component'] / cpu['bare, looks']:.2f} x")


if __name__ == "__main__":
    main()
