"""Describes a received message as Python's email package reads it.

Usage: check_mail.py MESSAGE_FILE [EXPECTED_ATTACHMENT_FILE]...

Prints one line per fact (headers, structure, every part, defects) so a test
can compare the whole description. Attachments are decoded here and compared
with the given files in order.
"""

import binascii
import email
import email.policy
import sys

# The chosen form for non-ASCII attachment names (encoded words inside the
# quotes, next to the RFC 2231 filename*) is reported by the parser as a
# defect, but read correctly: the RFC 2231 value wins.
EXPECTED_DEFECTS = {"encoded word inside quoted string",
                    "missing trailing whitespace after encoded-word",
                    "duplicate parameter name; duplicate ignored",
                    "duplicate parameter name; duplicate(s) ignored"}


def uudecode(payload):
    out = b""
    for line in payload.splitlines():
        if line in (b"`", b""):
            break
        out += binascii.a2b_uu(line)
    return out


def defects_of(part):
    found = [type(d).__name__ for d in part.defects]
    for name, value in part.items():
        for d in getattr(value, "defects", ()):
            if str(d) not in EXPECTED_DEFECTS:
                found.append("%s: %s" % (name, d))
    return found


def main():
    raw = open(sys.argv[1], "rb").read()
    expected = sys.argv[2:]
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    out = []
    # Header values as written, not as the parser would rewrite them.
    for name, value in msg.raw_items():
        out.append("header %s: %s" % (name, value))
    out.append("type: %s" % msg.get_content_type())
    defects = defects_of(msg)
    if msg.is_multipart():
        out.append("preamble: %r" % msg.preamble)
        out.append("epilogue: %r" % msg.epilogue)
        attached = 0
        for i, part in enumerate(msg.iter_parts()):
            defects += defects_of(part)
            cte = part.get("Content-Transfer-Encoding", "")
            if part.get_content_maintype() == "text":
                out.append("part %d: %s charset=%s cte=%s" % (
                    i, part.get_content_type(), part.get_param("charset"), cte))
                out.append("text: %r" % part.get_payload(decode=True))
                continue
            if cte == "x-uuencode":
                data = uudecode(part.get_payload(decode=False).encode("ascii"))
            else:
                data = part.get_payload(decode=True)
            out.append("part %d: %s cte=%s name=%r filename=%r disposition=%s" % (
                i, part.get_content_type(), cte, part.get_param("name"),
                part.get_filename(), part.get_content_disposition()))
            if attached < len(expected):
                want = open(expected[attached], "rb").read()
                out.append("bytes: %s" % ("match (%d)" % len(data) if data == want
                                          else "DIFFER (got %d, want %d)" % (len(data), len(want))))
            else:
                out.append("bytes: %d unexpected" % len(data))
            attached += 1
    else:
        out.append("charset: %s" % msg.get_param("charset"))
        out.append("text: %r" % msg.get_payload(decode=True))
    out.append("defects: %s" % (", ".join(defects) if defects else "none"))
    print("\n".join(out))


main()
