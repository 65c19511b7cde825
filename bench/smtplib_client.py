"""The Python peer: smtplib doing what the component does per message
(RSET, MAIL FROM, RCPT TO, DATA with the same text), one connection.

    smtplib_client.py send HOST PORT COUNT
    smtplib_client.py silent HOST PORT SECONDS
"""
import resource
import smtplib
import sys
import time


def sample():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return (time.monotonic(), u.ru_utime + u.ru_stime, u.ru_nvcsw, u.ru_nivcsw)


def report(what, count, a, b):
    hwm = -1
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                hwm = int(line.split()[1])
    print(f"result what={what} count={count} wall={b[0]-a[0]:.6f} cpu={b[1]-a[1]:.6f} "
          f"vcsw={b[2]-a[2]} ivcsw={b[3]-a[3]} hwm_kib={hwm}", flush=True)


def body_lines():
    # The same text as bench/BenchMessage.h.
    row = "The quick brown fox jumps over the lazy dog; 0123456789 abcdefghijklmn"
    return [row[:70] + f"{i:02d}" for i in range(13)]


def send(host, port, count):
    head = ("From: <sender@example.com>\r\nTo: {rcpt}\r\nSubject: Benchmark\r\n"
            "X-Mailer: \r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n")
    text = "".join(line + "\r\n" for line in body_lines())
    s = smtplib.SMTP(host, port)
    s.helo("bench.example.com")
    a = sample()
    for i in range(count):
        rcpt = f"rcpt{i}@example.com"
        s.rset()
        s.mail("sender@example.com")
        s.rcpt(rcpt)
        s.data((head.format(rcpt=rcpt) + text).encode("ascii"))
    b = sample()
    s.quit()
    report("send", count, a, b)


def silent(host, port, seconds):
    a = sample()
    try:
        smtplib.SMTP(host, port, timeout=seconds)
        outcome = "greeting"
    except OSError as e:
        outcome = type(e).__name__
    b = sample()
    print("outcome", outcome)
    report("silent", seconds, a, b)


if __name__ == "__main__":
    mode, host, port, n = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    {"send": send, "silent": silent}[mode](host, port, n)
