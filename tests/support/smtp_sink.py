#!/usr/bin/python3
"""A real SMTP server for the tests: Debian's aiosmtpd on 127.0.0.1.

Usage: smtp_sink.py FOLDER [--refuse-rcpt TEXT]... [--cert PEM --key PEM
       [--require-starttls | --implicit-tls]] [--login NAME --password TEXT
       [--auth-mechanism NAME]... [--auth-in-clear | --auth-only-in-clear]]
       [--stall-auth] [--xoauth2-token-file PATH] [--size BYTES]

Binds port 0 and prints "port N" on stdout once it listens. Every accepted
message is stored in FOLDER as NNNN.eml (the data exactly as the server
received it, after it removed the transparency dots) and NNNN.env (lines
"HELO x", "MAIL FROM x", "RCPT TO x", "TLS yes|no", "AUTH login"); the .env file is renamed into place
last, so its presence means the message is complete. Then "message N" is
written to stdout (dropped when the reader lags: it only wakes the reader). A RCPT TO whose address contains one of the --refuse-rcpt texts is
answered 550.

With --cert and --key the server offers STARTTLS with that certificate
(--require-starttls refuses mail before it), or with --implicit-tls speaks
TLS from the first byte. --login and --password offer AUTH (aiosmtpd's PLAIN
and LOGIN, or only the --auth-mechanism ones) and accept exactly that pair;
AUTH is offered only over TLS unless --auth-in-clear, and only in clear
with --auth-only-in-clear. --stall-auth never
answers AUTH (for cancel tests). --xoauth2-token-file offers XOAUTH2
accepting only the token that the file holds at that moment (oauth_server.py
writes it); any other is refused as Gmail does, with a JSON error in a 334
challenge that the client must answer with an empty line. The server ends when its stdin reaches end of file, so it never
outlives the test that started it. --size sets the SIZE the server offers
after EHLO and refuses larger messages (aiosmtpd's own: 33554432).
"""

import argparse
import asyncio
import base64
import binascii
import json
import os
import ssl
import sys

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

# Command arguments come back as str; surrogateescape restores their bytes.
ENC = ("utf-8", "surrogateescape")


class Handler:
    def __init__(self, folder, refuse, auth_only_in_clear=False):
        self.folder = folder
        self.refuse = refuse
        self.auth_only_in_clear = auth_only_in_clear
        self.count = 0

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.auth_only_in_clear and server.transport.get_extra_info("ssl_object") is not None:
            responses = [r for r in responses if not r[4:].startswith("AUTH")]
        return responses

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
        encrypted = server.transport.get_extra_info("ssl_object") is not None
        lines.append("TLS " + ("yes" if encrypted else "no"))
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            lines.append("AUTH " + session.auth_data.login.decode(*ENC))
        with open(base + ".tmp", "wb") as f:
            f.write(("\n".join(lines) + "\n").encode(*ENC))
        os.rename(base + ".tmp", base + ".env")
        try:
            os.write(1, b"message %d\n" % self.count)
        except BlockingIOError:
            pass  # the reader is behind; the line only wakes it, the files count
        return "250 Message accepted for delivery"


class XOAuth2Handler(Handler):
    def __init__(self, folder, refuse, auth_only_in_clear, token_file):
        super().__init__(folder, refuse, auth_only_in_clear)
        self.token_file = token_file

    async def auth_XOAUTH2(self, server, args):
        if len(args) == 2:
            try:
                blob = base64.b64decode(args[1], validate=True)
            except binascii.Error:
                await server.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        else:
            blob = await server.challenge_auth("")
            if blob is MISSING:
                return AuthResult(success=False, handled=True)
        fields = dict(f.split(b"=", 1) for f in blob.rstrip(b"\x01").split(b"\x01") if b"=" in f)
        with open(self.token_file, "rb") as f:
            current = f.read().strip()
        user = fields.get(b"user", b"")
        if user and blob.endswith(b"\x01\x01") and fields.get(b"auth") == b"Bearer " + current:
            return AuthResult(success=True, auth_data=LoginPassword(user, b""))
        error = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.google.com/"})
        if await server.challenge_auth(error) is MISSING:
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False,
                          message="535 5.7.8 Username and Password not accepted")


class Server(SMTP):
    stall_auth = False

    async def smtp_AUTH(self, arg):
        if self.stall_auth:
            await asyncio.sleep(3600)  # ended with the connection
            return None
        return await super().smtp_AUTH(arg)


class XOAuth2Server(Server):
    # A bearer token's AUTH line runs to kilobytes (Microsoft's tokens do);
    # the providers' servers take it, so the sink does too.
    line_length_limit = 16384


def make_authenticator(login, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == login.encode(*ENC)
              and auth_data.password == password.encode(*ENC))
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticate


def server_options(args):
    options = {}
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        # The server presents weak certificates too (SHA-1, short RSA keys):
        # judging them is the client's part.
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.load_cert_chain(args.cert, args.key)
        if not args.implicit_tls:
            options.update(tls_context=context, require_starttls=args.require_starttls)
    if args.login or args.xoauth2_token_file:
        offered = (["PLAIN", "LOGIN"] if args.login else []) + (["XOAUTH2"] if args.xoauth2_token_file else [])
        options.update(
            authenticator=make_authenticator(args.login or "", args.password),
            # Implicit TLS is TLS too, though aiosmtpd only counts STARTTLS.
            auth_require_tls=not (args.auth_in_clear or args.auth_only_in_clear or args.implicit_tls),
            auth_exclude_mechanism=sorted({"PLAIN", "LOGIN", "XOAUTH2"} - set(args.auth_mechanism or offered)))
    return options, (context if args.implicit_tls else None)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--refuse-rcpt", action="append", default=[])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--login")
    parser.add_argument("--password", default="")
    parser.add_argument("--auth-mechanism", action="append")
    parser.add_argument("--auth-in-clear", action="store_true")
    parser.add_argument("--auth-only-in-clear", action="store_true")
    parser.add_argument("--stall-auth", action="store_true")
    parser.add_argument("--xoauth2-token-file")
    parser.add_argument("--size", type=int)
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    if args.xoauth2_token_file:
        handler = XOAuth2Handler(args.folder, args.refuse_rcpt, args.auth_only_in_clear, args.xoauth2_token_file)
    else:
        handler = Handler(args.folder, args.refuse_rcpt, args.auth_only_in_clear)
    options, implicit = server_options(args)
    if args.size is not None:
        options.update(data_size_limit=args.size)

    def protocol():
        # An explicit host name: the default would ask the resolver for our FQDN.
        smtp = (XOAuth2Server if args.xoauth2_token_file else Server)(handler, hostname="sink.veltrow.test", ident="VeltrowSink",
                      enable_SMTPUTF8=True, loop=loop, **options)
        smtp.stall_auth = args.stall_auth
        return smtp

    server = await loop.create_server(protocol, host="127.0.0.1", port=0, ssl=implicit)
    print("port %d" % server.sockets[0].getsockname()[1], flush=True)
    # A test that never waits for messages must not stall the server.
    os.set_blocking(1, False)

    eof = asyncio.Event()
    loop.add_reader(sys.stdin.fileno(), lambda: eof.set() if not os.read(sys.stdin.fileno(), 4096) else None)
    await eof.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
