#!/usr/bin/python3
"""Reads the attachments of stored messages the way a mail reader does.

Usage: read_attachments.py FILE...

Prints a JSON list with one list per message: for every attached part its
file name (RFC 2231 filename*, checked against the RFC 2047
filename= beside it), the Content-Type name (encoded words
decoded), its media type and the SHA-256 of its decoded bytes. Strict: a
part whose Base64 does not decode cleanly stops the script.
"""

import base64
import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import sys


def filename(part):
    """The RFC 2231 filename* when there is one, else filename=; an RFC 2047
    filename= beside filename* must decode to the same name."""
    params = part.get_params(header="content-disposition") or []
    extended = [v for k, v in params if k == "filename" and isinstance(v, tuple)]
    words = [str(email.header.make_header(email.header.decode_header(v)))
             for k, v in params if k == "filename" and not isinstance(v, tuple)]
    if not extended:
        return words[0] if words else None
    name = email.utils.collapse_rfc2231_value(extended[0])
    if words and words[0] != name:
        sys.exit("filename= %r differs from filename* %r" % (words[0], name))
    return name


def read(path):
    with open(path, "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.compat32)
    parts = []
    for part in msg.walk():
        if part.get_content_disposition() != "attachment":
            continue
        raw = part.get_payload().replace("\r\n", "").replace("\n", "")
        data = base64.b64decode(raw, validate=True)
        name = str(email.header.make_header(email.header.decode_header(part.get_param("name"))))
        parts.append({"filename": filename(part), "name": name,
                      "type": part.get_content_type(), "sha256": hashlib.sha256(data).hexdigest()})
    return parts


print(json.dumps([read(p) for p in sys.argv[1:]], ensure_ascii=False))
