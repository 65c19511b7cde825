#!/usr/bin/python3
"""A real SMTP server for the tests: Debian's aiosmtpd on 127.0.0.1.

Usage: smtp_sink.py FOLDER [--refuse-rcpt TEXT]...

Binds port 0 and prints "port N" on stdout once it listens. Every accepted
message is stored in FOLDER as NNNN.eml (the data exactly as the server
received it, after it removed the transparency dots) and NNNN.env (lines
"HELO x", "MAIL FROM x", "RCPT TO x"); the .env file is renamed into place
last, so its presence means the message is complete. Then "message N" is
written to stdout (dropped when the reader lags: it only wakes the reader). A RCPT TO whose address contains one of the --refuse-rcpt texts is
answered 550. The server ends when its stdin reaches end of file, so it never
outlives the test that started it.
"""

import argparse
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP

# Command arguments come back as str; surrogateescape restores their bytes.
ENC = ("utf-8", "surrogateescape")


class Handler:
    def __init__(self, folder, refuse):
        self.folder = folder
        self.refuse = refuse
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if any(text in address for text in self.refuse):
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "%04d" % self.count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        lines = ["HELO " + (session.host_name or "")]
        lines.append("MAIL FROM " + (envelope.mail_from or ""))
        lines += ["RCPT TO " + r for r in envelope.rcpt_tos]
        with open(base + ".tmp", "wb") as f:
            f.write(("\n".join(lines) + "\n").encode(*ENC))
        os.rename(base + ".tmp", base + ".env")
        try:
            os.write(1, b"message %d\n" % self.count)
        except BlockingIOError:
            pass  # the reader is behind; the line only wakes it, the files count
        return "250 Message accepted for delivery"


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--refuse-rcpt", action="append", default=[])
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    handler = Handler(args.folder, args.refuse_rcpt)
    # An explicit host name: the default would ask the resolver for our FQDN.
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="sink.veltrow.test", ident="VeltrowSink",
                     enable_SMTPUTF8=True, loop=loop),
        host="127.0.0.1", port=0)
    print("port %d" % server.sockets[0].getsockname()[1], flush=True)
    # A test that never waits for messages must not stall the server.
    os.set_blocking(1, False)

    eof = asyncio.Event()
    loop.add_reader(sys.stdin.fileno(), lambda: eof.set() if not os.read(sys.stdin.fileno(), 4096) else None)
    await eof.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
