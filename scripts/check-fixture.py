#!/usr/bin/env python3
"""Check a running fixture server against its manifest.

Usage: check-fixture.py DIR [--transcript]

DIR is a directory started with "dovecot-fixture.sh start DIR LAYOUT". The check logs in
as demo/demo and verifies, folder by folder, what a client of the server relies on:
  - LIST "" "*" returns exactly the manifest's folders, with the manifest's delimiter,
    implicit parents marked \\Noselect or \\NonExistent;
  - EXAMINE of every selectable folder reports the manifest's message count;
  - FETCH BODY.PEEK[HEADER.FIELDS (...)] returns, for every sequence number, the raw
    Date, From, Subject, To, Cc and Message-ID the manifest lists for that number, and FLAGS
    match the Maildir flags (and are unchanged by the fetch);
  - SEARCH UNDELETED, and with SUBJECT, BODY, FROM and a UTF-8 literal search text, returns
    exactly the sequence numbers the manifest predicts (case-insensitive substring rules);
  - a wrong password gets a tagged NO.
It also checks the manifest against the message files with Python's own e-mail parser
(decoded Subject and From, text body, date instant where that parser reads the date) and
that regenerating with the same seed gives the same files. --transcript prints the LIST
response. Exit status 0 when everything holds; each failure is printed.
"""

import email
import email.policy
import email.utils
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
from email.header import decode_header, make_header

FAILURES = []
FLAG_LETTERS = {"\\Seen": "S", "\\Deleted": "T", "\\Flagged": "F", "\\Answered": "R", "\\Draft": "D"}


def fail(msg):
    FAILURES.append(msg)
    print("FAIL:", msg)


class Imap:
    """Minimal IMAP client: one command at a time, literals kept whole."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.buf = b""
        self.tag = 0
        self.greeting = self._line()

    def _line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("server closed the connection")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _exact(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("server closed the connection")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def _response(self):
        """One response: list of pieces, text lines and literal bytes alternating."""
        pieces = []
        while True:
            line = self._line()
            m = re.search(rb"\{(\d+)\}$", line)
            pieces.append(line)
            if not m:
                return pieces
            pieces.append(self._exact(int(m.group(1))))

    def command(self, *parts):
        """Send a command; parts are bytes, or ("literal", bytes) for a synchronizing
        literal. Returns (untagged responses, tagged status line)."""
        self.tag += 1
        tag = b"c%d" % self.tag
        out = tag
        for p in parts:
            if isinstance(p, tuple):
                data = p[1]
                self.sock.sendall(out + b" {%d}\r\n" % len(data))
                cont = self._line()
                if not cont.startswith(b"+"):
                    raise RuntimeError("no continuation for literal: %r" % cont)
                out = data
            else:
                out += b" " + p
        self.sock.sendall(out + b"\r\n")
        untagged = []
        while True:
            resp = self._response()
            if resp[0].startswith(tag + b" "):
                return untagged, resp[0][len(tag) + 1:]
            untagged.append(resp)


def quote(name):
    """Mailbox name as an IMAP quoted string."""
    return b'"' + name.encode("utf-8").replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


def parse_list_line(line):
    """(attributes, delimiter, name) from one '* LIST' line without literals."""
    m = re.match(rb'\* LIST \(([^)]*)\) (NIL|"(?:\\.|[^"\\])")\s(.*)$', line)
    if not m:
        raise ValueError("unreadable LIST line %r" % line)
    attrs = m.group(1).decode().split()
    delim = None if m.group(2) == b"NIL" else re.sub(rb"\\(.)", rb"\1", m.group(2)[1:-1]).decode()
    raw = m.group(3)
    if raw.startswith(b'"'):
        name = re.sub(rb"\\(.)", rb"\1", raw[1:-1]).decode("utf-8")
    else:
        name = raw.decode("utf-8")
    return attrs, delim, name


def header_fields(block):
    """Raw field values (folds kept as CRLF) from a header block, by lower-case name."""
    fields = {}
    text = block.decode("utf-8", "surrogateescape")
    for m in re.finditer(r"^([!-9;-~]+):[ ]?([^\r\n]*(?:\r\n[ \t][^\r\n]*)*)", text, re.M):
        value = m.group(2).encode("utf-8", "surrogateescape")
        try:
            decoded = value.decode("utf-8")
        except UnicodeDecodeError:
            decoded = value.decode("iso-8859-1")
        fields[m.group(1).lower()] = decoded
    return fields


def expected_search(msgs, pred):
    return sorted(e["seq"] for e in msgs if not e["deleted"] and pred(e))


def search_numbers(untagged):
    nums = []
    for resp in untagged:
        if resp[0].startswith(b"* SEARCH"):
            nums += [int(x) for x in resp[0].split()[2:]]
    return sorted(nums)


def check_server(d, manifest, transcript):
    port = int(open(os.path.join(d, "port")).read())
    by_folder = {}
    for e in manifest["messages"]:
        by_folder.setdefault(e["server_name"], []).append(e)

    bad = Imap(port)
    _, status = bad.command(b"LOGIN", b"demo", b"wrong")
    if not status.startswith(b"NO"):
        fail("LOGIN with a wrong password answered %r" % status)
    bad.command(b"LOGOUT")

    c = Imap(port)
    if not c.greeting.startswith(b"* OK"):
        fail("greeting %r" % c.greeting)
    _, status = c.command(b"LOGIN", b"demo", b"demo")
    if not status.startswith(b"OK"):
        fail("LOGIN demo demo answered %r" % status)
        return
    untagged, status = c.command(b"LIST", b'""', b'"*"')
    if transcript:
        for resp in untagged:
            print(resp[0].decode("utf-8", "replace"))
        print(status.decode())
    listed = {}
    for resp in untagged:
        if len(resp) != 1:
            fail("LIST used a literal: %r" % resp)
            continue
        attrs, delim, name = parse_list_line(resp[0])
        if delim != manifest["delimiter"]:
            fail("LIST delimiter %r for %s, manifest says %r" % (delim, name, manifest["delimiter"]))
        lower = [a.lower() for a in attrs]
        listed[name] = not ("\\noselect" in lower or "\\nonexistent" in lower)
    wanted = {f["server_name"]: f["selectable"] for f in manifest["folders"]}
    if listed != wanted:
        fail("LIST gave %s, manifest has %s" % (sorted(listed.items()), sorted(wanted.items())))

    for f in manifest["folders"]:
        if not f["selectable"]:
            continue
        name = f["server_name"]
        msgs = by_folder.get(name, [])
        untagged, status = c.command(b"EXAMINE", quote(name))
        if not status.startswith(b"OK"):
            fail("EXAMINE %s answered %r" % (name, status))
            continue
        exists = [int(r[0].split()[1]) for r in untagged if r[0].endswith(b" EXISTS")]
        if exists != [len(msgs)]:
            fail("%s: EXISTS %s, manifest has %d messages" % (name, exists, len(msgs)))
            continue
        if not msgs:
            continue
        for rnd in (1, 2):  # the second round proves the first one changed no flags
            untagged, status = c.command(
                b"FETCH", b"1:*", b"(FLAGS BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT TO CC MESSAGE-ID)])")
            got = {}
            for resp in untagged:
                m = re.match(rb"\* (\d+) FETCH \(FLAGS \(([^)]*)\)", resp[0])
                if m and len(resp) >= 2:
                    got[int(m.group(1))] = (m.group(2).decode().split(), header_fields(resp[1]))
            for e in msgs:
                if e["seq"] not in got:
                    fail("%s: no FETCH answer for %d" % (name, e["seq"]))
                    continue
                flags, fields = got[e["seq"]]
                letters = "".join(sorted(FLAG_LETTERS[x] for x in flags if x in FLAG_LETTERS))
                if letters != e["flags"]:
                    fail("%s %d (round %d): flags %s, manifest %r" % (name, e["seq"], rnd, flags, e["flags"]))
                if fields.get("message-id") != e["message_id"]:
                    fail("%s %d: Message-ID %r, manifest %r (sequence order differs)" % (
                        name, e["seq"], fields.get("message-id"), e["message_id"]))
                for h in ("Date", "From", "Subject", "To", "Cc"):
                    if fields.get(h.lower()) != e["headers"][h]:
                        fail("%s %d: %s %r, manifest %r" % (name, e["seq"], h, fields.get(h.lower()), e["headers"][h]))

        searches = [
            ((b"UNDELETED",), lambda e: True),
            ((b"UNDELETED", b"(SUBJECT", b'"report")'), lambda e: "report" in (e["subject"] or "").lower()),
            ((b"UNDELETED", b"BODY", b"zanzibar"), lambda e: "zanzibar" in e["body"].lower()),
            ((b"UNDELETED", b"FROM", b'"alice@example.org"'), lambda e: "alice@example.org" in (e["from"] or "")),
            ((b"CHARSET", b"UTF-8", b"UNDELETED", b"SUBJECT", ("literal", "KÖLN".encode())),
             lambda e: "köln" in (e["subject"] or "").lower()),
            ((b"UNDELETED", b"SUBJECT", b'"\\"hello\\""'), lambda e: '"hello"' in (e["subject"] or "").lower()),
        ]
        for args, pred in searches:
            untagged, status = c.command(b"SEARCH", *args)
            want = expected_search(msgs, pred)
            got = search_numbers(untagged)
            if not status.startswith(b"OK") or got != want:
                shown = b" ".join(a if isinstance(a, bytes) else a[1] for a in args).decode()
                fail("%s: SEARCH %s gave %s (%r), manifest predicts %s" % (name, shown, got, status, want))
    c.command(b"LOGOUT")


def check_files(d, manifest):
    """Manifest against the files, read by Python's own e-mail parser."""
    mail = os.path.join(d, "mail")
    for e in manifest["messages"]:
        with open(os.path.join(mail, e["file"]), "rb") as fh:
            raw = fh.read()
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        where = "%s %d" % (e["folder"], e["seq"])
        for h, key in (("Subject", "subject"), ("From", "from")):
            value = e["headers"][h]
            if value is None:
                if e[key] is not None:
                    fail("%s: %s absent but decoded as %r" % (where, h, e[key]))
                continue
            if value.isascii():  # raw 8-bit values are taken as they stand
                decoded = str(make_header(decode_header(value.replace("\r\n", ""))))
                if decoded != e[key]:
                    fail("%s: %s decodes to %r, manifest %r" % (where, h, decoded, e[key]))
        if msg.is_multipart() != e["multipart"]:
            fail("%s: multipart %s, manifest %s" % (where, msg.is_multipart(), e["multipart"]))
        part = msg.get_body(preferencelist=("plain",))
        if part is None or part.get_content() != e["body"]:
            fail("%s: text body differs from manifest" % where)
        if e["date_form"] in ("rfc5322", "two-digit-day", "no-day-name", "two-digit-year", "no-seconds",
                              "half-hour-offset", "gmt", "ut", "named-zone", "comment", "minus-zero",
                              "extra-space", "folded", "military"):
            try:
                when = email.utils.parsedate_to_datetime(e["headers"]["Date"].replace("\r\n", ""))
                if when.tzinfo is None:  # "-0000": UTC, local zone unknown
                    when = when.replace(tzinfo=email.utils.datetime.timezone.utc)
                stamp = when.astimezone(email.utils.datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
            except (TypeError, ValueError) as err:
                stamp = "unreadable (%s)" % err
            if stamp != e["date_utc"]:
                fail("%s: Date %r is %s, manifest %s" % (where, e["headers"]["Date"], stamp, e["date_utc"]))
        elif e["date_form"] in ("garbage", "missing") and e["date_utc"] is not None:
            fail("%s: unreadable Date has an instant in the manifest" % where)


def check_repeatable(d, manifest):
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "mail")
        subprocess.run([sys.executable, os.path.join(here, "gen-mailbox.py"), out, manifest["layout"],
                        "--seed", str(manifest["seed"])], check=True)
        with open(os.path.join(tmp, "manifest.json"), encoding="utf-8") as fh:
            if json.load(fh) != manifest:
                fail("regenerating with seed %d gives another manifest" % manifest["seed"])
        for e in manifest["messages"]:
            with open(os.path.join(out, e["file"]), "rb") as a, open(os.path.join(d, "mail", e["file"]), "rb") as b:
                if a.read() != b.read():
                    fail("regenerated %s differs" % e["file"])


def main(argv):
    if not argv or argv[0].startswith("-"):
        print(__doc__, file=sys.stderr)
        return 2
    d = os.path.abspath(argv[0])
    with open(os.path.join(d, "manifest.json"), encoding="utf-8") as fh:
        manifest = json.load(fh)
    check_files(d, manifest)
    check_repeatable(d, manifest)
    check_server(d, manifest, "--transcript" in argv[1:])
    n = len(manifest["messages"])
    if FAILURES:
        print("%d failures (%s, %d messages)" % (len(FAILURES), manifest["layout"], n))
        return 1
    print("fixture %s: %d folders, %d messages: all checks passed" % (manifest["layout"], len(manifest["folders"]), n))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
