#!/usr/bin/python3
"""Reads stored messages the way a mail reader does and prints what it shows.

Usage: read_mail.py FILE...

Prints one JSON object per file (a JSON list in all): the decoded subject,
the From and To display names and addresses, the decoded body, the Date
header and whether it parses, the content type and charset, and whether
every header line is 7-bit.
"""

import email
import email.header
import email.utils
import json
import sys


def decode(value):
    if value is None:
        return None
    return str(email.header.make_header(email.header.decode_header(value)))


def addresses(value):
    if value is None:
        return []
    return [[decode(name), addr] for name, addr in email.utils.getaddresses([value])]


def read(path):
    with open(path, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw)
    head = raw.split(b"\r\n\r\n", 1)[0]
    date = msg.get("Date")
    try:
        parsed = email.utils.parsedate_to_datetime(date).timestamp() if date else None
    except (TypeError, ValueError):
        parsed = None
    payload = msg.get_payload(decode=True) or b""
    charset = msg.get_content_charset()
    return {
        "subject": decode(msg.get("Subject")),
        "from": addresses(msg.get("From")),
        "to": addresses(msg.get("To")),
        "from_raw": msg.get("From"),
        "to_raw": msg.get("To"),
        "date": date,
        "date_epoch": parsed,
        "content_type": msg.get_content_type(),
        "charset": charset,
        "body": payload.decode(charset or "ascii").replace("\r\n", "\n"),
        "body_7bit": all(b < 0x80 for b in payload),
        "header_7bit": all(b < 0x80 for b in head),
    }


print(json.dumps([read(p) for p in sys.argv[1:]], ensure_ascii=False))
