#!/usr/bin/python3
"""The reference for a run with an attachment: Python's smtplib sends one
message, built and encoded once beforehand with the email package, to COUNT
recipients over one connection (HELO, like the engine's plain session).

Usage: smtplib_attach.py HOST PORT COUNT FILE

Prints a result line like the benchmark programs: wall time of the sending
(from before the connect to after QUIT), processor time and the peak memory.
"""

import email.mime.application
import email.mime.multipart
import email.mime.text
import os
import resource
import smtplib
import sys
import time


def main():
    host, port, count, path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    msg = email.mime.multipart.MIMEMultipart()
    msg["From"] = "Bench <sender@example.com>"
    msg["Subject"] = "Bench"
    msg.attach(email.mime.text.MIMEText("The attached file.\n"))
    with open(path, "rb") as f:
        msg.attach(email.mime.application.MIMEApplication(f.read(), Name=os.path.basename(path)))
    data = msg.as_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    start_cpu = time.process_time()
    start = time.monotonic()
    smtp = smtplib.SMTP()
    smtp.connect(host, port)
    smtp.helo("bench.example.com")
    for i in range(count):
        smtp.sendmail("sender@example.com", ["rcpt%d@example.com" % i], data)
    smtp.quit()
    wall = time.monotonic() - start
    cpu = time.process_time() - start_cpu
    hwm = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("result what=smtplib-attach count=%d wall=%.6f cpu=%.6f vcsw=0 ivcsw=0 hwm_kib=%d" % (count, wall, cpu, hwm))


if __name__ == "__main__":
    main()
