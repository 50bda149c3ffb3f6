#!/usr/bin/env python3
"""Write the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Usage: make-corpus.py [--fixture DIR ...]

Without --fixture only hand-written seeds are written (server output in the forms Dovecot and
other servers send, odd and hostile variants). Each --fixture names a running private Dovecot
started by scripts/dovecot-fixture.sh; the script logs in, lists, examines, searches and
fetches, and cuts the captured bytes into seeds as well. Header blocks and dates also come from
the fixture's manifest. Existing seeds are kept; file names are the content's hash, so running
the script again adds nothing twice.
"""
import argparse
import base64
import hashlib
import json
import os
import re
import socket

ROOT = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(ROOT, "corpus")
MAX_PER_TARGET = 48

seeds = {}


def add(target, data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    seeds.setdefault(target, [])
    if data not in seeds[target]:
        seeds[target].append(data)


# The control byte of fuzz_responsereader: "~" frames a command's response in chunks of 1 to 3
# bytes, "?" the greeting byte by byte, "^" in chunks of 1 to 17; all with the default limits.
# "J" is a small line limit (64) with a small literal limit (16), fed whole.
def reader(data, control="~"):
    add("fuzz_responsereader", control.encode() + data)


# --- hand-written server output ----------------------------------------------------------

GREETINGS = [
    b"* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ STARTTLS AUTH=PLAIN] Dovecot (Debian) ready.\r\n",
    b"* PREAUTH [CAPABILITY IMAP4rev1] Logged in as demo\r\n",
    b"* BYE Too many connections\r\n",
]
LIST = (b'* LIST (\\HasNoChildren) "." INBOX\r\n'
        b'* LIST (\\HasChildren) "." Work\r\n'
        b'* LIST (\\HasNoChildren) "." Work.2005\r\n'
        b'* LIST (\\Noselect \\HasChildren) "." Archive\r\n'
        b'* LIST (\\HasNoChildren) "." "My Stuff"\r\n'
        b'* LIST (\\HasNoChildren) "." "Say \\"hi\\""\r\n'
        b'* LIST (\\HasNoChildren) "." Entw&APw-rfe\r\n'
        b'* LIST (\\HasNoChildren) "." {11}\r\nBack\\slash.x\r\n'
        b'* LIST (\\NonExistent) "/" Gone\r\n'
        b'* LIST () NIL Flat\r\n'
        b'1 OK List completed (0.001 + 0.000 secs).\r\n')
LIST_FS = (b'* LIST (\\HasChildren) "/" INBOX\r\n'
           b'* LIST (\\HasNoChildren) "/" INBOX/Sent\r\n'
           b'* LIST (\\HasNoChildren) "/" inbox/Trash\r\n'
           b'* list (\\HasNoChildren \\Marked) "/" "INBOX/a b"\r\n'
           b'* LIST (\\HasNoChildren) "/" INBOX/&ZeVnLIqe-\r\n'
           b'1 OK done\r\n')
LIST_EXTENDED = (b'* LIST (\\Subscribed) "." Work ("CHILDINFO" ("SUBSCRIBED"))\r\n'
                 b'* LIST (\\HasNoChildren) "." .hidden\r\n'
                 b'* LIST (\\HasNoChildren) "." ""\r\n'
                 b'1 OK done\r\n')
SEARCHES = [
    b"* SEARCH 2 84 882\r\n1 OK Search completed (0.001 + 0.000 secs).\r\n",
    b"* SEARCH\r\n1 OK Search completed.\r\n",
    b"* SEARCH 1 2 3 4 5 6 7 8 9 10 (MODSEQ 917162500)\r\n1 OK done\r\n",
    b"* search 4294967295 4294967296 007 0 -1 1e3\r\n1 OK done\r\n",
    b"* 3 EXISTS\r\n* SEARCH 1 3\r\n* 2 EXPUNGE\r\n* SEARCH 5\r\n1 OK done\r\n",
    b"* ESEARCH (TAG \"1\") ALL 1:3,5\r\n* SEARCHES 1\r\n1 OK done\r\n",
]
HEADER = (b"Date: Tue, 3 Jan 2006 10:15:00 -0500\r\n"
          b"From: =?ISO-8859-1?Q?Andr=E9?= <andre@example.com>\r\n"
          b"Subject: =?UTF-8?B?R3LDvMOfZQ==?= =?UTF-8?Q?_aus_K=C3=B6ln?=\r\n\r\n")
FOLDED = (b"Subject: a\r\n long\r\n\tfolded\r\nFrom: x@y\r\nDate: 1 Jan 06\r\n\r\n")
BAD_WORD = b"Subject: =?x?Q?bad?=\r\n\r\n"


def literal(data):
    return b"{%d}\r\n%s" % (len(data), data)


FETCHES = [
    b"* 1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] " + literal(HEADER) +
    b")\r\n1 OK Fetch completed.\r\n",
    b"* 2 FETCH (UID 12 FLAGS (\\Seen) BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {0}\r\n)\r\n"
    b"* 5 FETCH (FLAGS (\\Seen \\Deleted))\r\n"
    b"* 9 FETCH (RFC822.HEADER \"Subject: quoted\" RFC822.SIZE 4096)\r\n"
    b"* 11 FETCH (BODY[HEADER] NIL)\r\n1 OK done\r\n",
    b"* 3 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)]<0> " + literal(FOLDED) +
    b" ENVELOPE (\"date\" \"subj\" ((NIL NIL \"a\" \"b\")) NIL NIL NIL NIL NIL NIL NIL))\r\n"
    b"* 3 FETCH (BODY.PEEK[HEADER] {9}\r\nSubject:\r\n)\r\n1 OK done\r\n",
    b"* 4 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] " + literal(BAD_WORD) + b")\r\n"
    b"* 0 FETCH (BODY[HEADER] {2}\r\n\r\n)\r\n* 4294967296 FETCH (BODY[HEADER] NIL)\r\n1 OK done\r\n",
]
HOSTILE = [
    b"* 1 FETCH (BODY[] {21}\r\nab\r\n1 OK not really\r\n)\r\n1 OK done\r\n",
    b"* 1 FETCH (BODY[] {99999999999999999999}\r\n",
    b"* 1 FETCH (BODY[] {268435457}\r\n",
    b"* 1 FETCH (A {3}\r\nabc B {3+}\r\n{1}\r\n C {0}\r\n)\r\n1 OK\r\n",
    b"+ Ready for literal data\r\n+\r\n1 OK LOGIN completed\r\n",
    b"* BYE Server shutting down\r\n1 NO [UNAVAILABLE] bye\r\n",
    b"* OK [ALERT] hi\r\n* 1 EXISTS\r\n1 BAD Error in IMAP command: unknown\r\n",
    b"* X {}\r\n* Y {a}\r\n* Z {0}\r\n)\r\n1 OK\n1 OK\r",
]

for g in GREETINGS:
    reader(g, "?")
    reader(g + b"1 OK Logged in\r\n", "?")
for data in [LIST, LIST_FS, LIST_EXTENDED] + SEARCHES + FETCHES + HOSTILE:
    reader(data, "~")
reader(LIST, "^")
reader(FETCHES[0], "^")
# A line of many literals, each within a small literal limit.
reader(b"* 1 FETCH (A {16}\r\n" + b"x" * 16 + b" B {16}\r\n" + b"y" * 16 + b" C {16}\r\n" + b"z" * 16,
       "J")

for data in [LIST, LIST_FS, LIST_EXTENDED, HOSTILE[3]]:
    add("fuzz_listparser", b"L" + data)
add("fuzz_listparser", b"T\x01.\x00INBOX\\\x01.\x00INBOX.Sent\\\x00\x00Other")

for data in SEARCHES:
    add("fuzz_searchparser", data)

for data in FETCHES + [HOSTILE[0], HOSTILE[3]]:
    add("fuzz_fetchparser", data)
add("fuzz_fetchparser", b"\x01\x00\x00\x00\x01Tue, 3 Jan 2006\\a@b\\=?UTF-8?Q?x?=\\")

# Whole messages for fuzz_message: structures, encodings, hostile file names.
MESSAGES = [
    b"From: a@b\r\nSubject: plain\r\n\r\nhello\r\n",
    b"Subject: mixed\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
    b"Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable"
    b"\r\n\r\nGr=FC=DFe=\r\n\r\n--b\r\nContent-Type: application/pdf\r\n"
    b"Content-Disposition: attachment; filename=\"../../etc/passwd\"\r\n"
    b"Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b--\r\n",
    b"Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: text/html\r\n"
    b"\r\n<p>x</p>\r\n--a\r\nContent-Type: multipart/related; boundary=r\r\n\r\n--r\r\n"
    b"Content-Type: image/png; name=\"=?UTF-8?B?Li4vLi4v?=\"\r\n\r\nPNG\r\n--r--\r\n--a--\r\n",
    b"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
    b"Content-Disposition: attachment; filename*0*=UTF-8''%2E; filename*1=\".\"\r\n\r\nx\r\n"
    b"--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: a/b\r\nContent-Type: message/rfc822"
    b"\r\n\r\nSubject: inner\r\n\r\nx\r\n--b--\r\n",
    b"Content-Type: multipart/mixed\r\n\r\n--b\r\nno boundary parameter\r\n",
    b"Content-Type: text/plain; charset=x-bogus\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    b"!!w6TDtsO8@@==\r\n",
]
for data in MESSAGES:
    add("fuzz_message", data)

LINES = [
    b'* LIST (\\HasNoChildren \\Marked) "." "Say \\"hi\\""',
    b"* 3 FETCH (UID 9 BODY[HEADER.FIELDS (DATE FROM SUBJECT)]<0> {5}\r\nab\r\nc FLAGS (\\Seen))",
    b"((a (b \"c\" {1}\r\nx) NIL) 42 4294967296 nil)",
    b'"unterminated \\" {3+}\r\nab',
    b"BODY[HEADER.FIELDS (DATE FROM SUBJECT)] BODY[unclosed ( ] atom%*\\",
]
for line in LINES:
    add("fuzz_lexer", line)

HEADERS = [
    HEADER,
    b"Subject: =?utf-8?b?w6TDtsO8?=\r\n =?utf-8?b?w58=?=\r\nFrom: \"Doe, John\" <j@x>\r\n\r\nbody",
    b"subject:no space\nX Bad: skipped\n continuation of bad\nFrom :  spaced  \n\n",
    b"Subject: =?windows-1252?q?=80uro?= =?unknown?Q?x?= =?UTF-8?B?***?= =?UTF-8?Q?=ZZ?=\r\n",
    b"Subject: raw \xe4\xf6\xfc latin1\r\nFrom: raw \xc3\xa4 utf8\r\n",
    b"Subject: =?UTF-8*en?Q?lang?= =?UTF-8?Q?a?==?UTF-8?Q?b?=\r\n",
]
for h in HEADERS:
    add("fuzz_headers", h)

DATES = [
    "Tue, 3 Jan 2006 10:15:00 -0500", "3 Jan 2006 10:15 +0000", "Tue, 03 Jan 06 10:15:00 EST",
    "Sun, 2 Apr 2006 01:59:59 +05:30 (IST)", "Mon, 31 Dec 2007 23:59:60 GMT",
    "Wed, 1 Feb 1989 1:2:3 PDT", "3-Jan-2006 10:15:00 +0000", "Thu, 4 jan 2007 12:00:00 Z",
    "Fri, 5 Jan 2007 12:00:00 (comment (nested)) +0100 (CET)", "1 Jan 999 00:00:00 UT",
    "Saturday, 6 January 2007 08:00:00 -2359", "garbage", "1/5/2006", "01/05/06 10:15 PM",
    "2006-01-05", "January 3, 2006 10:15:00", "Tuesday 3-Jan-2006 0:00", "2/30/2006",
]
for d in DATES:
    add("fuzz_headerdate", d)

NAMES = [b"INBOX", b"Entw&APw-rfe", b"&ZeVnLIqe-", b"&-&-", b"Say \"hi\"", b"&Jjo-!", b"&AGE-",
         b"&bad", b"&AAA-", b"&2D3cAA-", b"raw \xc3\xa4", b"raw \xe4"]
for n in NAMES:
    add("fuzz_mutf7", b"\x00" + n)
for text in ["Entwürfe", "日本語", "a&b", "😀 smile", "\u0000\u007f"]:
    add("fuzz_mutf7", b"\x01" + text.encode("utf-16-be"))
add("fuzz_mutf7", b"\x01\xd8\x00\x00a\xdc\x00")

for a, b in [(b"demo", b"demo"), (b"user name", b"pa\"ss\\word"), (b"", b"\xc3\xa4"),
             (b"x\r\n2 DELETE INBOX", b"{5}\r\nabc"), (b"a}", b"\x00")]:
    add("fuzz_argencoder", a + b"\\" + b)

for texts in [["hello", "", "", "", "", "", "1/5/2006", "2/1/2006"],
              ["", "Grüße", "", "", "", "", "", ""],
              ["", "", "x\r\n2 LOGOUT", "", "a\"b", "", "1/5/2006", "1/5/2006"],
              ["", "", "", "", "", "", "", "12/31/9999"]]:
    add("fuzz_searchkey", b"".join(t.encode() + b"\\" for t in texts) + b"\x01")


# --- captured from a running fixture -----------------------------------------------------

def capture(fixture):
    port = int(open(os.path.join(fixture, "port")).read().strip())
    manifest = json.load(open(os.path.join(fixture, "manifest.json")))
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    buf = b""

    def until_tagged(tag=None):
        nonlocal buf
        while True:
            if tag is None:
                m = re.search(rb"^\* (OK|PREAUTH|BYE)[^\n]*\n", buf, re.M)
            else:
                m = re.search(rb"^" + tag + rb" [^\n]*\n", buf, re.M)
            if m:
                out, buf = buf[:m.end()], buf[m.end():]
                return out
            chunk = sock.recv(65536)
            if not chunk:
                raise RuntimeError("server closed")
            buf += chunk

    def cmd(text):
        sock.sendall(b"1 " + text + b"\r\n")
        return until_tagged(b"1")

    greeting = until_tagged()
    reader(greeting, "?")
    login = cmd(b"LOGIN demo demo")
    reader(login)
    listing = cmd(b'LIST "" "*"')
    reader(listing)
    reader(listing, "^")
    add("fuzz_listparser", b"L" + listing)
    for folder in manifest["folders"]:
        if not folder["selectable"] or not folder["messages"]:
            continue
        name = folder["server_name"].encode()
        quoted = b'"' + name.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'
        reader(cmd(b"EXAMINE " + quoted))
        found = cmd(b"SEARCH UNDELETED (OR SUBJECT \"a\" BODY \"a\")")
        add("fuzz_searchparser", found)
        numbers = re.findall(rb"\d+", found.split(b"\r\n")[0])[:6]
        if numbers:
            fetched = cmd(b"FETCH " + b",".join(numbers) +
                          b" BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]")
            add("fuzz_fetchparser", fetched)
            reader(fetched)
    reader(cmd(b"LOGOUT"))
    sock.close()

    for message in manifest["messages"]:
        headers = message["headers"]
        block = b"".join(("%s: %s\r\n" % (k, v)).encode("utf-8", "surrogateescape")
                         for k, v in headers.items() if v is not None)
        if len(seeds.get("fuzz_headers", [])) < MAX_PER_TARGET:
            add("fuzz_headers", block + b"\r\n")
        if headers.get("Date") and len(seeds.get("fuzz_headerdate", [])) < MAX_PER_TARGET:
            add("fuzz_headerdate", headers["Date"])
    for folder in manifest["folders"]:
        add("fuzz_mutf7", b"\x00" + folder["server_name"].encode())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixture", action="append", default=[])
    args = parser.parse_args()
    for fixture in args.fixture:
        capture(fixture)
    for target, items in sorted(seeds.items()):
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for data in items[:MAX_PER_TARGET]:
            name = hashlib.sha1(data).hexdigest()[:16]
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print("%-22s %d seeds" % (target, len(os.listdir(folder))))


if __name__ == "__main__":
    main()
