#!/usr/bin/python3
"""A DNS server for the domain check's tests. Qt's resolver asks port 53
only, so it binds UDP port 53 on a loopback address of its own (127.x.y.z,
kept bound while it serves; needs root or CAP_NET_BIND_SERVICE), prints that
address and serves until its standard input closes.

  dns_server.py [--silent] [NAME=TEXT | NAME]...

NAME=TEXT answers TXT queries for NAME with TEXT (give a name several times
for several records); a bare NAME exists without TXT records; every other
name does not exist. --silent binds the port and never answers."""
import random
import socket
import sys
import threading

from dnslib import DNSRecord, QTYPE, RCODE, RR, TXT


def bind():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for _ in range(500):
        address = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 254), random.randint(1, 254))
        try:
            sock.bind((address, 53))
            return sock, address
        except PermissionError:
            print("binding port 53 needs root or CAP_NET_BIND_SERVICE", file=sys.stderr)
            sys.exit(77)
        except OSError:
            continue
    raise SystemExit("no loopback address with a free port 53")


def serve(sock, records, names):
    while True:
        data, peer = sock.recvfrom(4096)
        request = DNSRecord.parse(data)
        reply = request.reply()
        name = str(request.q.qname).rstrip(".").lower()
        if name in records:
            if request.q.qtype == QTYPE.TXT:
                for text in records[name]:
                    reply.add_answer(RR(request.q.qname, QTYPE.TXT, rdata=TXT(text), ttl=60))
        elif name not in names:
            reply.header.rcode = RCODE.NXDOMAIN
        sock.sendto(reply.pack(), peer)


def main():
    records, names, silent = {}, set(), False
    for arg in sys.argv[1:]:
        if arg == "--silent":
            silent = True
            continue
        name, sep, text = arg.partition("=")
        if sep:
            records.setdefault(name.lower(), []).append(text)
        else:
            names.add(name.lower())
    sock, address = bind()
    print(address, flush=True)
    if not silent:
        threading.Thread(target=serve, args=(sock, records, names), daemon=True).start()
    sys.stdin.read()


main()
