#!/usr/bin/python3
"""Reads the attachments of stored messages the way a mail reader does.

Usage: read_attachments.py FILE...

Prints a JSON list with one list per message: for every attached part its
file name (RFC 2231 filename*), the Content-Type name (encoded words
decoded), its media type and the SHA-256 of its decoded bytes. Strict: a
part whose Base64 does not decode cleanly stops the script.
"""

import base64
import email
import email.header
import email.policy
import hashlib
import json
import sys


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
        parts.append({"filename": part.get_filename(), "name": name,
                      "type": part.get_content_type(), "sha256": hashlib.sha256(data).hexdigest()})
    return parts


print(json.dumps([read(p) for p in sys.argv[1:]], ensure_ascii=False))
