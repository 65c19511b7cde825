#!/usr/bin/python3
"""Python's smtplib over STARTTLS, for comparison with smtp_tls_throughput.

Usage: smtplib_starttls.py PORT COUNT CAFILE [LOGIN PASSWORD]

Connects to 127.0.0.1:PORT (checking the server's certificate for
"localhost" against CAFILE), says EHLO, STARTTLS, EHLO again, logs in when a
login is given, and sends COUNT small messages over that one connection.
Prints "N messages/s" for the sends alone.
"""

import smtplib
import ssl
import sys
import time
from email.message import EmailMessage


def main():
    port, count, cafile = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    context = ssl.create_default_context(cafile=cafile)
    connect = time.perf_counter()
    smtp = smtplib.SMTP("localhost", port, local_hostname="bench", timeout=30)
    smtp.starttls(context=context)
    smtp.ehlo("bench")
    if len(sys.argv) > 5:
        smtp.login(sys.argv[4], sys.argv[5])
    start = time.perf_counter()
    for i in range(count):
        msg = EmailMessage()
        msg["From"] = "sender@example.com"
        msg["To"] = "rcpt%d@example.com" % i
        msg["Subject"] = "Throughput"
        msg.set_content("Hello,\nthis is a short benchmark message.\nRegards\n")
        smtp.send_message(msg)
        if i == 0:
            first = time.perf_counter() - connect
    wall = time.perf_counter() - start
    smtp.quit()
    print("%.0f messages/s" % (count / wall))
    # From the connect, as bench/run.py times the other clients.
    print("result what=smtplib count=%d wall=%.6f first_ms=%.3f"
          % (count, time.perf_counter() - connect, first * 1000))


if __name__ == "__main__":
    main()
