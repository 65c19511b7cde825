#!/usr/bin/python3
"""The browser of the sign-in tests, set as $BROWSER: given the authorization
URL, it fetches it and follows the redirect to Veltrow's listener, as a user
who is signed in at the provider already would.

VELTROW_TEST_BROWSER_LOG names a file that gets one line per step: "open",
"forged STATUS", "redirect STATUS". VELTROW_TEST_BROWSER chooses how it
behaves: empty signs in; "forged-state" first calls the listener with
another state, then with the real one; "stay" opens the page and does
nothing more (a user who walked away); "ipv6" follows the redirect to [::1]
at its port, as a browser that takes "localhost" for ::1 does.
"""

import os
import sys
import urllib.error
import urllib.parse
import urllib.request


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def fetch(opener, url):
    try:
        with opener.open(url, timeout=60) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def main():
    url = sys.argv[1]
    mode = os.environ.get("VELTROW_TEST_BROWSER", "")
    log = open(os.environ["VELTROW_TEST_BROWSER_LOG"], "a")

    def note(line):
        log.write(line + "\n")
        log.flush()

    note("open")
    if mode == "stay":
        return
    # Loopback only: a proxy from the environment must not see the requests.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}), NoRedirect)
    status, headers, _ = fetch(opener, url)
    location = headers.get("Location")
    if status != 302 or not location:
        note("authorize %d" % status)
        return
    if mode == "forged-state":
        parts = urllib.parse.urlsplit(location)
        query = dict(urllib.parse.parse_qsl(parts.query))
        query["state"] = "forged"
        forged = parts._replace(query=urllib.parse.urlencode(query)).geturl()
        note("forged %d" % fetch(opener, forged)[0])
    if mode == "ipv6":
        parts = urllib.parse.urlsplit(location)
        location = parts._replace(netloc="[::1]:%d" % parts.port).geturl()
    status, _, body = fetch(opener, location)
    note("redirect %d %s" % (status, body.decode("utf-8", "replace")))


if __name__ == "__main__":
    main()
