#!/usr/bin/python3
"""An OAuth 2.0 authorization server for the sign-in tests, on 127.0.0.1.

Usage: oauth_server.py TOKEN_FILE [--client-id ID] [--client-secret TEXT]
       [--expires-in SECONDS]

Binds port 0 and prints "port N" once it listens. GET /authorize checks what
a provider checks (the client ID, a loopback redirect_uri, a state, an S256
code challenge) and redirects to the redirect_uri with a code and the state.
POST /token exchanges a code once, for the same redirect_uri and a verifier
whose S256 hash is the challenge, or a refresh token that is the current one;
it answers JSON errors as providers do. Every access token it issues becomes
the only one in TOKEN_FILE (smtp_sink.py's XOAUTH2 accepts just that one).

Reports on stdout, one line each: "authorize", "token authorization_code",
"token refresh_token", "refused ERROR", and "secret VALUE" for every code,
verifier and token it saw or made, so a test can look for them elsewhere.
Commands on stdin, each acknowledged with "ok": "refuse-refresh" (refreshes
get invalid_grant from now on), "revoke" (the current access token is no
longer accepted), "redirect-token STATUS" (POST /token answers STATUS with a
Location of /elsewhere on this server). Any request to /elsewhere is
reported as "elsewhere METHOD", with "secret VALUE" for each form value it
carries. Ends when stdin reaches end of file.
"""

import argparse
import base64
import hashlib
import json
import os
import secrets
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1")
lock = threading.Lock()
out_lock = threading.Lock()


def report(line):
    with out_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class State:
    def __init__(self, args):
        self.args = args
        self.codes = {}  # code -> (challenge, redirect_uri)
        self.refresh = None
        self.refuse_refresh = False
        self.redirect_token = 0

    def publish(self, access):
        tmp = self.args.token_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(access)
        os.replace(tmp, self.args.token_file)

    def issue(self):
        # Long like Microsoft's: the AUTH line cannot carry it.
        access = "ya29." + secrets.token_urlsafe(900)
        self.refresh = "1//" + secrets.token_urlsafe(48)
        self.publish(access)
        for value in (access, self.refresh):
            report("secret " + value)
        return {"access_token": access, "token_type": "Bearer", "expires_in": self.args.expires_in,
                "refresh_token": self.refresh, "scope": "mail"}


def s256(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def loopback_redirect(uri):
    parts = urllib.parse.urlsplit(uri)
    return parts.scheme == "http" and parts.hostname in LOOPBACK_HOSTS and parts.port is not None


class Handler(BaseHTTPRequestHandler):
    state = None

    def log_message(self, *args):
        pass  # the requests carry secrets

    def reply(self, status, body, content_type="application/json", headers=()):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def error(self, status, error, description):
        report("refused " + error)
        self.reply(status, json.dumps({"error": error, "error_description": description}))

    def elsewhere(self):
        report("elsewhere " + self.command)
        length = int(self.headers.get("Content-Length", "0"))
        for _, value in urllib.parse.parse_qsl(self.rfile.read(length).decode("ascii", "replace")):
            report("secret " + value)
        self.reply(200, json.dumps({"access_token": "stolen", "expires_in": 3600}))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/elsewhere":
            return self.elsewhere()
        q = dict(urllib.parse.parse_qsl(url.query))
        if url.path != "/authorize":
            return self.reply(404, "not found", "text/plain")
        report("authorize")
        args = self.state.args
        problems = [
            (q.get("response_type") == "code", "response_type"),
            (q.get("client_id") == args.client_id, "client_id"),
            (loopback_redirect(q.get("redirect_uri", "")), "redirect_uri"),
            (q.get("code_challenge_method") == "S256", "code_challenge_method"),
            (len(q.get("code_challenge", "")) == 43, "code_challenge"),
            (bool(q.get("state")), "state"),
            (bool(q.get("scope")), "scope"),
        ]
        for ok, name in problems:
            if not ok:
                return self.error(400, "invalid_request", "bad " + name)
        # Google's codes hold a slash: it must come back decoded once.
        code = "4/" + secrets.token_urlsafe(24)
        with lock:
            self.state.codes[code] = (q["code_challenge"], q["redirect_uri"])
        report("secret " + code)
        target = q["redirect_uri"] + "?" + urllib.parse.urlencode({"code": code, "state": q["state"]})
        self.reply(302, "", "text/plain", [("Location", target)])

    def do_POST(self):
        if self.path == "/elsewhere":
            return self.elsewhere()
        if self.path != "/token":
            return self.reply(404, "not found", "text/plain")
        if self.state.redirect_token:
            report("token redirected")
            location = "http://127.0.0.1:%d/elsewhere" % self.server.server_address[1]
            return self.reply(self.state.redirect_token, "", "text/plain", [("Location", location)])
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode("ascii")))
        args = self.state.args
        grant = form.get("grant_type", "")
        report("token " + grant)
        if form.get("client_id") != args.client_id or form.get("client_secret", "") != args.client_secret:
            return self.error(401, "invalid_client", "client authentication failed")
        with lock:
            if grant == "authorization_code":
                report("secret " + form.get("code_verifier", ""))
                challenge, redirect = self.state.codes.pop(form.get("code", ""), (None, None))
                if challenge is None or form.get("redirect_uri") != redirect:
                    return self.error(400, "invalid_grant", "unknown code or other redirect_uri")
                if s256(form.get("code_verifier", "")) != challenge:
                    return self.error(400, "invalid_grant", "PKCE verification failed")
                return self.reply(200, json.dumps(self.state.issue()))
            if grant == "refresh_token":
                if self.state.refuse_refresh or form.get("refresh_token") != self.state.refresh:
                    return self.error(400, "invalid_grant", "AADSTS70000: The refresh token has expired.")
                return self.reply(200, json.dumps(self.state.issue()))
        return self.error(400, "unsupported_grant_type", grant)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("token_file")
    parser.add_argument("--client-id", default="veltrow-test-client")
    parser.add_argument("--client-secret", default="")
    parser.add_argument("--expires-in", type=int, default=3600)
    args = parser.parse_args()
    state = State(args)
    state.publish("none issued yet")
    Handler.state = state
    server = HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    report("port %d" % server.server_address[1])
    for line in sys.stdin:
        with lock:
            if line.strip() == "refuse-refresh":
                state.refuse_refresh = True
            elif line.strip() == "revoke":
                state.publish("revoked")
            elif line.startswith("redirect-token "):
                state.redirect_token = int(line.split()[1])
        report("ok")
    server.shutdown()


if __name__ == "__main__":
    main()
