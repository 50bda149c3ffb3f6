#!/usr/bin/env python3
"""Write a deterministic sample mailbox as Maildir files, plus a JSON manifest.

Usage: gen-mailbox.py OUTDIR LAYOUT [--seed N] [--manifest FILE]

LAYOUT
  maildir  Maildir++ as Dovecot reads it with mail_location = maildir:OUTDIR.
           INBOX is OUTDIR itself (cur/ new/ tmp/ at the top); every other folder is a
           dot-named directory directly under OUTDIR ("Work/2005" -> OUTDIR/.Work.2005).
           Hierarchy delimiter ".".
  fs       Dovecot LAYOUT=fs, mail_location = maildir:OUTDIR:LAYOUT=fs. INBOX is again
           OUTDIR itself (Dovecot keeps the INBOX of a maildir store in the root directory
           unless INBOX= says otherwise); every other folder is a nested directory
           ("Work/2005" -> OUTDIR/Work/2005), each with its own cur/ new/ tmp/.
           Hierarchy delimiter "/".
  Folder names on disk are in modified UTF-7 ("Entwürfe" -> "Entw&APw-rfe"), as Dovecot
  stores and lists them.

OUTDIR must not exist or be empty. The manifest goes to OUTDIR/../manifest.json unless
--manifest names another file. The same seed always gives byte-identical files and manifest.

Sequence numbers
  Every message is written straight into cur/ (so none is \\Recent) under a name of the form
  "<seconds>.M<usec>P<pid>.fixture:2,<flags>". The <seconds> part strictly increases in the
  order the messages of a folder are meant to be numbered. Without a dovecot-uidlist, Dovecot
  assigns UIDs to new files sorted by that time part, so sequence number n in the manifest is
  the n-th file of the folder in that order. Maildir flags: S = \\Seen, T = \\Deleted,
  F = \\Flagged, R = \\Answered, D = \\Draft (letters in ASCII order, as Maildir requires).

Manifest (JSON, UTF-8)
  {
    "layout": "maildir" | "fs",
    "delimiter": "." | "/",
    "seed": N,
    "inbox_dir": "",                 # directory of INBOX relative to OUTDIR
    "folders": [                     # every name Dovecot lists, INBOX first
      {"server_name": "Work.2005",   # the name as LIST returns it (modified UTF-7)
       "display_path": "Work/2005",  # decoded levels joined by "/"
       "selectable": true,           # false for implicit parents (\\Noselect/\\NonExistent)
       "dir": ".Work.2005",          # directory relative to OUTDIR, null if not on disk
       "messages": 40}, ...],
    "messages": [                    # grouped by folder, in sequence order
      {"folder": "Work/2005",        # display path of the folder
       "server_name": "Work.2005",
       "seq": 1,                     # 1-based sequence number inside the folder
       "file": ".Work.2005/cur/...", # path relative to OUTDIR
       "message_id": "<...>",
       "headers": {                  # raw field values; null when the field is absent
         "Date": ..., "From": ..., "Subject": ..., "To": ..., "Cc": ...},
       "subject": "...",             # unfolded, RFC 2047 decoded; null when absent
       "from": "...",                # unfolded, RFC 2047 decoded; null when absent
       "subject_style": "q-utf8", "from_style": "...", "date_form": "named-zone",
       "date_utc": "2006-01-03T15:15:00Z",  # instant of the Date header, or null
       "flags": "ST",                # Maildir flag letters
       "seen": true, "deleted": false, "flagged": false,
       "multipart": false,           # true for multipart/mixed
       "attachment": null | {"filename": ..., "content_type": ..., "size": bytes},
       "body": "...",                # text of the text/plain part, decoded
       "body_encoding": "8bit" | "quoted-printable" | "base64" | "7bit",
       "body_charset": "utf-8" | "iso-8859-1" | "us-ascii"}, ...]
  }
  A raw header value is the text after "Name:" and one space, up to the end of the field;
  folded fields keep their line breaks as "\\r\\n" followed by the continuation's
  whitespace, exactly as the server sends them. Raw 8-bit bytes are given as UTF-8, or as
  Latin-1 when they are not valid UTF-8.
  "date_utc" is null for a missing or unreadable Date. For date_form "no-zone" (no zone at
  all) it is the instant read as UTC; a reader may equally treat that date as unreadable.

Distinctive content for searches (all other text avoids these words): subjects containing
"report" (some deleted, one only after RFC 2047 decoding, one in "Workshop"), body word
"zanzibar" (in several capitalisations), sender alice@example.org.
"""

import argparse
import base64
import datetime as dt
import json
import os
import random
import sys

DAY_NAMES = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTH_NAMES = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
BASE_TIME = 1136214000  # first file-name timestamp; each message gets the next second

# (display path, number of messages). Implicit parents are derived from the paths.
FOLDERS = [
    ("INBOX", 70),
    ("Sent", 20),
    ("Drafts", 6),
    ("Trash", 12),
    ("Work", 25),
    ("Work/2005", 40),
    ("Work/2006", 35),
    ("Workshop", 12),
    ("Archive/2006/Q1", 20),
    ("Archive/2005", 30),
    ("Entwürfe", 8),
    ("My Stuff", 15),
    ('Say "hi"', 3),
    ("Back\\slash", 2),
]

# --------------------------------------------------------------------------- names


def mutf7_encode(text):
    """Encode one mailbox name level in IMAP modified UTF-7 (RFC 3501 5.1.3)."""
    out = []
    pending = []

    def flush():
        if pending:
            raw = "".join(pending).encode("utf-16-be")
            out.append("&" + base64.b64encode(raw).decode("ascii").rstrip("=").replace("/", ",") + "-")
            pending.clear()

    for ch in text:
        if 0x20 <= ord(ch) <= 0x7E:
            flush()
            out.append("&-" if ch == "&" else ch)
        else:
            pending.append(ch)
    flush()
    return "".join(out)


# --------------------------------------------------------------------------- headers


def q_word(text, charset):
    """One RFC 2047 Q encoded word (text context: "_" is a space)."""
    parts = []
    for b in text.encode(charset):
        c = chr(b)
        if c == " ":
            parts.append("_")
        elif c.isascii() and (c.isalnum() or c in "!*+-/"):
            parts.append(c)
        else:
            parts.append("=%02X" % b)
    return "=?%s?Q?%s?=" % (charset.upper(), "".join(parts))


def b_word(text, charset):
    return "=?%s?B?%s?=" % (charset.upper(), base64.b64encode(text.encode(charset)).decode("ascii"))


def encode_words(text, charset, kind, pieces=1, sep=" "):
    """Encode text as `pieces` adjacent encoded words joined by `sep` (linear white space,
    which RFC 2047 drops between encoded words)."""
    n = max(1, min(pieces, len(text)))
    bounds = [round(i * len(text) / n) for i in range(n + 1)]
    chunks = [text[bounds[i]:bounds[i + 1]] for i in range(n)]
    enc = q_word if kind == "Q" else b_word
    return sep.join(enc(c, charset) for c in chunks)


def latin1_ok(text):
    try:
        text.encode("iso-8859-1")
        return True
    except UnicodeEncodeError:
        return False


ASCII_WORDS = [
    "meeting", "budget", "invoice", "lunch", "schedule", "update", "minutes", "agenda",
    "project", "review", "server", "backup", "holiday", "travel", "contract", "draft",
    "release", "notes", "plan", "question", "reminder", "status", "migration", "offsite",
    "printer", "coffee", "deadline", "proposal", "summary", "feedback",
]
INTL_PHRASES = [
    "Grüße aus Köln", "naïve café", "Überweisung bestätigt", "Prüfung bestanden",
    "Ça va très bien", "señor Muñoz", "Smörgåsbord", "Æble og øl", "Große Straße",
]
UTF8_ONLY_PHRASES = ["Ελληνικά κείμενα", "日本語のテスト", "Привет мир", "€ 50 Rabatt", "Zürich ✓"]
QUOTE_SUBJECTS = [
    'He said "hello" again',
    "Path C:\\temp\\new folder",
    'Re: "quoted" and back\\slash',
    'The "\\" character',
]
PEOPLE = [
    ("Bob Builder", "bob@example.com"),
    ("Carol Singer", "carol@example.net"),
    ("Dave Null", "dave@example.com"),
    ("Eve Listener", "eve@example.org"),
    ("Frank Castle", "frank@example.net"),
    ("Grace Hopper", "grace@example.com"),
]
INTL_PEOPLE = [
    ("Jörg Müller", "joerg@example.de"),
    ("André Dupont", "andre@example.fr"),
    ("Zoë Ångström", "zoe@example.se"),
    ("François Lefèvre", "francois@example.fr"),
]
UTF8_PEOPLE = [("Δημήτρης Παπαδόπουλος", "dimitris@example.gr"), ("田中 太郎", "tanaka@example.jp")]
ALICE = ("Alice Example", "alice@example.org")
DEMO = ("Demo User", "demo@example.net")

SUBJECT_STYLES = [
    "plain", "q-utf8", "b-utf8", "q-latin1", "b-latin1", "multi-words", "mixed", "folded",
    "folded-encoded", "quotes", "raw-utf8", "lower-case", "empty", "missing", "raw-latin1",
]
FROM_STYLES = [
    "plain", "quoted-name", "q-utf8", "b-utf8", "q-latin1", "bare-address", "comment-name",
    "raw-utf8", "multi-words", "missing",
]


def make_subject(rng, style):
    """Return (raw header value or None, decoded subject or None, raw bytes or None).
    raw bytes is only set when the value is not valid UTF-8."""
    words = " ".join(rng.choice(ASCII_WORDS) for _ in range(rng.randint(2, 4))).capitalize()
    intl = rng.choice(INTL_PHRASES)
    utf8 = rng.choice(UTF8_ONLY_PHRASES + INTL_PHRASES)
    if style == "plain":
        return words, words, None
    if style == "q-utf8":
        return q_word(utf8, "utf-8"), utf8, None
    if style == "b-utf8":
        return b_word(utf8, "utf-8"), utf8, None
    if style == "q-latin1":
        return q_word(intl, "iso-8859-1"), intl, None
    if style == "b-latin1":
        return b_word(intl, "iso-8859-1"), intl, None
    if style == "multi-words":
        text = intl + " " + words
        return encode_words(text, "utf-8", rng.choice("QB"), pieces=3), text, None
    if style == "mixed":
        # Plain words around an encoded word keep their separating spaces.
        return "Re: " + q_word(intl, "iso-8859-1") + " " + words.lower(), "Re: " + intl + " " + words.lower(), None
    if style == "folded":
        first = words + " " + " ".join(rng.choice(ASCII_WORDS) for _ in range(6))
        second = " ".join(rng.choice(ASCII_WORDS) for _ in range(5))
        return first + "\r\n " + second, first + " " + second, None
    if style == "folded-encoded":
        text = intl + " – " + utf8
        return encode_words(text, "utf-8", "Q", pieces=2, sep="\r\n "), text, None
    if style == "quotes":
        s = rng.choice(QUOTE_SUBJECTS)
        return s, s, None
    if style == "raw-utf8":
        return "Fwd: " + utf8, "Fwd: " + utf8, None
    if style == "lower-case":
        raw = q_word(intl, "utf-8").replace("=?UTF-8?Q?", "=?utf-8?q?")
        return raw, intl, None
    if style == "empty":
        return "", "", None
    if style == "missing":
        return None, None, None
    if style == "raw-latin1":
        text = "Preis: " + rng.choice(["Käse", "Brötchen", "Süßes"])
        return text, text, text.encode("iso-8859-1")
    raise ValueError(style)


def make_from(rng, style):
    """Return (raw value or None, decoded value or None)."""
    name, addr = rng.choice(PEOPLE)
    iname, iaddr = rng.choice(INTL_PEOPLE)
    if style == "plain":
        return "%s <%s>" % (name, addr), "%s <%s>" % (name, addr)
    if style == "quoted-name":
        last, first = name.split(" ")[1], name.split(" ")[0]
        v = '"%s, %s" <%s>' % (last, first, addr)
        return v, v
    if style == "q-utf8":
        return "%s <%s>" % (q_word(iname, "utf-8"), iaddr), "%s <%s>" % (iname, iaddr)
    if style == "b-utf8":
        uname, uaddr = rng.choice(UTF8_PEOPLE)
        return "%s <%s>" % (b_word(uname, "utf-8"), uaddr), "%s <%s>" % (uname, uaddr)
    if style == "q-latin1":
        return "%s <%s>" % (q_word(iname, "iso-8859-1"), iaddr), "%s <%s>" % (iname, iaddr)
    if style == "bare-address":
        return addr, addr
    if style == "comment-name":
        v = "%s (%s)" % (addr, name)
        return v, v
    if style == "raw-utf8":
        return "%s <%s>" % (iname, iaddr), "%s <%s>" % (iname, iaddr)
    if style == "multi-words":
        first, last = iname.split(" ", 1)
        # Adjacent encoded words in two charsets; the space travels inside the first word.
        raw = "%s %s <%s>" % (b_word(first + " ", "utf-8"), q_word(last, "iso-8859-1"), iaddr)
        return raw, "%s <%s>" % (iname, iaddr)
    if style == "missing":
        return None, None
    raise ValueError(style)


def fmt_offset(minutes, colon=False):
    sign = "-" if minutes < 0 else "+"
    h, m = divmod(abs(minutes), 60)
    return "%s%02d%s%02d" % (sign, h, ":" if colon else "", m)


NAMED_ZONES = [("EST", -300), ("EDT", -240), ("CST", -360), ("CDT", -300),
               ("MST", -420), ("MDT", -360), ("PST", -480), ("PDT", -420)]
PLAIN_OFFSETS = [-300, 60, 0, -480, 540, 120, -180, 600]
ODD_OFFSETS = [330, -210, 345, 570, 630]
DATE_FORMS = [
    "rfc5322", "two-digit-day", "no-day-name", "two-digit-year", "no-seconds", "colon-offset",
    "half-hour-offset", "gmt", "ut", "named-zone", "comment", "military", "minus-zero",
    "no-zone", "dd-mon-yyyy", "lower-case-month", "extra-space", "folded", "garbage", "missing",
]
GARBAGE_DATES = ["sometime next week", "Tue, 32 Foo 2006 25:99:00 +0000", "2006-01-03", "0", "yesterday 10:15"]


def make_date(rng, form):
    """Return (raw value or None, instant as datetime in UTC or None)."""
    if form == "missing":
        return None, None
    if form == "garbage":
        return rng.choice(GARBAGE_DATES), None
    utc = dt.datetime(2004, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(
        seconds=rng.randrange(4 * 365 * 86400))
    if form == "no-seconds":
        utc = utc.replace(second=0)
    zone_text = None
    offset = rng.choice(PLAIN_OFFSETS)
    if form in ("gmt", "ut", "military", "minus-zero", "no-zone", "dd-mon-yyyy"):
        offset = 0
    elif form == "named-zone":
        zone_text, offset = rng.choice(NAMED_ZONES)
    elif form in ("colon-offset", "half-hour-offset"):
        offset = rng.choice(ODD_OFFSETS)
    elif form == "comment":
        zone_text, offset = rng.choice([("+0100 (CET)", 60), ("+0200 (CEST)", 120),
                                        ("-0500 (EST)", -300), ("+0000 (UTC)", 0)])
    local = utc + dt.timedelta(minutes=offset)
    day = DAY_NAMES[local.weekday()]
    mon = MONTH_NAMES[local.month - 1]
    hms = "%02d:%02d:%02d" % (local.hour, local.minute, local.second)
    zone = fmt_offset(offset)
    d, y = local.day, local.year
    if form == "rfc5322" or form == "half-hour-offset":
        raw = "%s, %d %s %d %s %s" % (day, d, mon, y, hms, zone)
    elif form == "two-digit-day":
        raw = "%s, %02d %s %d %s %s" % (day, d, mon, y, hms, zone)
    elif form == "no-day-name":
        raw = "%d %s %d %s %s" % (d, mon, y, hms, zone)
    elif form == "two-digit-year":
        raw = "%s, %d %s %02d %s %s" % (day, d, mon, y % 100, hms, zone)
    elif form == "no-seconds":
        raw = "%s, %d %s %d %02d:%02d %s" % (day, d, mon, y, local.hour, local.minute, zone)
    elif form == "colon-offset":
        raw = "%s, %d %s %d %s %s" % (day, d, mon, y, hms, fmt_offset(offset, colon=True))
    elif form == "gmt":
        raw = "%s, %02d %s %d %s GMT" % (day, d, mon, y, hms)
    elif form == "ut":
        raw = "%s, %d %s %d %s UT" % (day, d, mon, y, hms)
    elif form in ("named-zone", "comment"):
        raw = "%s, %d %s %d %s %s" % (day, d, mon, y, hms, zone_text)
    elif form == "military":
        raw = "%s, %d %s %d %s Z" % (day, d, mon, y, hms)
    elif form == "minus-zero":
        raw = "%s, %d %s %d %s -0000" % (day, d, mon, y, hms)
    elif form == "no-zone":
        raw = "%s, %d %s %d %s" % (day, d, mon, y, hms)
    elif form == "dd-mon-yyyy":
        raw = "%d-%s-%d %s +0000" % (d, mon, y, hms)
    elif form == "lower-case-month":
        raw = "%s, %d %s %d %s %s" % (day, d, mon.lower(), y, hms, zone)
    elif form == "extra-space":
        raw = "%s,  %d %s %d   %s  %s" % (day, d, mon, y, hms, zone)
    elif form == "folded":
        raw = "%s, %d %s %d\r\n %s %s" % (day, d, mon, y, hms, zone)
    else:
        raise ValueError(form)
    return raw, utc


# --------------------------------------------------------------------------- bodies

BODY_SENTENCES = [
    "Please find the latest numbers below.",
    "Let me know if the schedule works for you.",
    "The backup finished without errors last night.",
    "We moved the meeting to the small room on the second floor.",
    "Thanks for the quick feedback on the proposal.",
    "The printer on the third floor is out of toner again.",
    "Coffee machine is fixed, finally.",
    "Minutes of the last call are attached to the wiki page.",
    "Can you review the contract before Friday?",
    "The migration window is Saturday morning.",
]
INTL_SENTENCES = [
    "Viele Grüße aus dem Büro.",
    "Das war eine naïve Annahme im café.",
    "Merci beaucoup, à bientôt.",
    "Größe: 12 Äpfel, 3 Öfen, 7 Übungen.",
]
UTF8_SENTENCES = ["Ελληνικά: καλημέρα.", "日本語の本文です。", "Цена: 100 €."]


def make_body(rng, extra_lines=()):
    lines = [rng.choice(BODY_SENTENCES) for _ in range(rng.randint(1, 4))]
    kind = rng.choice(["ascii", "intl", "utf8"])
    if kind == "intl":
        lines.insert(rng.randint(0, len(lines)), rng.choice(INTL_SENTENCES))
    elif kind == "utf8":
        lines.insert(rng.randint(0, len(lines)), rng.choice(UTF8_SENTENCES))
    lines.extend(extra_lines)
    return "\n".join(lines) + "\n"


def qp_encode(data):
    """Quoted-printable for LF-terminated text, soft breaks at 76 columns."""
    out_lines = []
    for line in data.split(b"\n"):
        enc = []
        for i, b in enumerate(line):
            c = chr(b)
            trailing_ws = c in " \t" and i == len(line) - 1
            if (33 <= b <= 126 and c != "=") or (c in " \t" and not trailing_ws):
                enc.append(c)
            else:
                enc.append("=%02X" % b)
        cur = ""
        for tok in enc:
            if len(cur) + len(tok) > 75:
                out_lines.append(cur + "=")
                cur = ""
            cur += tok
        out_lines.append(cur)
    return "\n".join(out_lines).encode("ascii")


def encode_body(rng, text):
    """Return (charset, transfer encoding, encoded bytes)."""
    if text.isascii():
        return "us-ascii", "7bit", text.encode("ascii")
    choices = ["8bit", "quoted-printable", "base64"]
    if latin1_ok(text):
        choices.append("latin1")
    choice = rng.choice(choices)
    if choice == "latin1":
        return "iso-8859-1", "8bit", text.encode("iso-8859-1")
    raw = text.encode("utf-8")
    if choice == "8bit":
        return "utf-8", "8bit", raw
    if choice == "quoted-printable":
        return "utf-8", "quoted-printable", qp_encode(raw)
    b64 = base64.b64encode(raw).decode("ascii")
    return "utf-8", "base64", ("\n".join(b64[i:i + 76] for i in range(0, len(b64), 76)) + "\n").encode("ascii")


# --------------------------------------------------------------------------- messages


class Msg:
    def __init__(self):
        self.subject_style = self.from_style = self.date_form = None
        self.subject_raw = self.subject = self.subject_bytes = None
        self.from_raw = self.from_ = None
        self.date_raw = self.date_utc = None
        self.to = self.cc = None
        self.flags = ""
        self.body = ""
        self.attachment = None


def special_messages(rng):
    """Messages that end-to-end searches look for, as {folder: [Msg, ...]}."""
    specs = [
        # folder, subject raw, subject decoded, sender, flags, extra body lines, attachment
        ("INBOX", "Quarterly report", "Quarterly report", ALICE, "S", ["See you in zanzibar."], False),
        ("INBOX", q_word("Quarterly report für März", "utf-8"), "Quarterly report für März",
         PEOPLE[0], "", [], False),
        ("Work", "Re: Quarterly report", "Re: Quarterly report", INTL_PEOPLE[1], "S", [], False),
        ("Work/2005", "Quarterly report", "Quarterly report", ALICE, "ST", ["Zanzibar numbers inside."], False),
        ("Work/2005", "Fwd: quarterly REPORT draft", "Fwd: quarterly REPORT draft", ALICE, "S", [], False),
        ("Work/2006", "Quarterly report", "Quarterly report", PEOPLE[1], "S", ["ZANZIBAR office figures."], True),
        ("Workshop", "Workshop report", "Workshop report", PEOPLE[2], "", [], False),
        ("Archive/2006/Q1", "Quarterly report Q1 2006", "Quarterly report Q1 2006", ALICE, "S", [], False),
        ("Archive/2005", "Travel plans", "Travel plans", PEOPLE[3], "S", ["Flights to Zanzibar are booked."], False),
        ("Entwürfe", q_word("Entwurf: Grüße aus Zanzibar", "utf-8"), "Entwurf: Grüße aus Zanzibar",
         DEMO, "D", ["Grüße, naïve café, zanzibar."], False),
        ("My Stuff", "Photos", "Photos", ALICE, "", ["Pictures from the trip."], True),
        ("Trash", "Quarterly report", "Quarterly report", ALICE, "T", ["Old zanzibar draft."], False),
        ("Sent", "Re: Quarterly report", "Re: Quarterly report", DEMO, "S", [], False),
    ]
    out = {}
    for folder, sraw, sdec, who, flags, extra, attach in specs:
        m = Msg()
        m.subject_style, m.subject_raw, m.subject = "special", sraw, sdec
        m.from_style = "plain"
        m.from_raw = m.from_ = "%s <%s>" % who
        m.date_form = "rfc5322"
        m.date_raw, m.date_utc = make_date(rng, "rfc5322")
        m.flags = flags
        m.body = make_body(rng, extra)
        m.attachment = attach
        out.setdefault(folder, []).append(m)
    return out


def filler_message(rng, index, folder):
    m = Msg()
    m.subject_style = SUBJECT_STYLES[index % len(SUBJECT_STYLES)]
    m.from_style = FROM_STYLES[(index * 3) % len(FROM_STYLES)]
    m.date_form = DATE_FORMS[(index * 7) % len(DATE_FORMS)]
    m.subject_raw, m.subject, m.subject_bytes = make_subject(rng, m.subject_style)
    m.from_raw, m.from_ = make_from(rng, m.from_style)
    if folder in ("Sent", "Drafts"):
        m.from_style, m.from_raw, m.from_ = "plain", "%s <%s>" % DEMO, "%s <%s>" % DEMO
    m.date_raw, m.date_utc = make_date(rng, m.date_form)
    flags = set()
    if rng.random() < 0.6:
        flags.add("S")
    if rng.random() < 0.1 or folder == "Trash":
        flags.add("T")
    if rng.random() < 0.05:
        flags.add("F")
    if rng.random() < 0.05:
        flags.add("R")
    if folder == "Drafts":
        flags.add("D")
    m.flags = "".join(sorted(flags))
    m.body = make_body(rng)
    m.attachment = rng.random() < 0.12
    return m


def recipients(rng, m):
    to = rng.sample(PEOPLE, rng.randint(1, 2))
    m.to = ", ".join("%s <%s>" % p for p in to)
    if rng.random() < 0.3:
        m.to = "%s <%s>" % DEMO
    if rng.random() < 0.35:
        cc = rng.sample(PEOPLE + INTL_PEOPLE[:1], rng.randint(1, 3))
        parts = ["%s <%s>" % (p[0] if p[0].isascii() else q_word(p[0], "utf-8"), p[1]) for p in cc]
        m.cc = ",\r\n    ".join(parts) if len(parts) > 2 else ", ".join(parts)


def render(rng, m, msgid):
    """Return (file bytes with LF line ends, manifest extras)."""
    head = []

    def field(name, raw, raw_bytes=None):
        if raw is None:
            return
        value = raw_bytes if raw_bytes is not None else raw.replace("\r\n", "\n").encode("utf-8")
        head.append(name.encode("ascii") + (b": " + value if value else b":"))

    field("Return-Path", "<%s>" % (m.from_raw.split("<")[-1].rstrip(">") if m.from_raw and "<" in m.from_raw else "nobody@example.com"))
    field("Message-ID", msgid)
    field("Date", m.date_raw)
    field("From", m.from_raw)
    field("To", m.to)
    field("Cc", m.cc)
    field("Subject", m.subject_raw, m.subject_bytes)
    head.append(b"MIME-Version: 1.0")
    charset, cte, body_bytes = encode_body(rng, m.body)
    info = {"body_charset": charset, "body_encoding": cte, "attachment": None}
    text_headers = [b"Content-Type: text/plain; charset=" + charset.encode(), b"Content-Transfer-Encoding: " + cte.encode()]
    if not m.attachment:
        head.extend(text_headers)
        return b"\n".join(head) + b"\n\n" + body_bytes, info
    boundary = "=_fixture_%08x" % rng.getrandbits(32)
    name = rng.choice(["scan.pdf", "figures.bin", "photo.jpg", "data.zip"])
    ctype = {"scan.pdf": "application/pdf", "figures.bin": "application/octet-stream",
             "photo.jpg": "image/jpeg", "data.zip": "application/zip"}[name]
    payload = rng.randbytes(rng.randint(200, 1500))
    b64 = base64.b64encode(payload).decode("ascii")
    b64 = "\n".join(b64[i:i + 76] for i in range(0, len(b64), 76))
    head.append(('Content-Type: multipart/mixed;\n boundary="%s"' % boundary).encode())
    parts = [b"This is a multi-part message in MIME format.", b"", b"--" + boundary.encode()]
    # The line break before a boundary belongs to the boundary, so the text part keeps
    # its own final newline.
    parts += text_headers + [b"", body_bytes, b"--" + boundary.encode()]
    parts += [("Content-Type: %s; name=\"%s\"" % (ctype, name)).encode(),
              b"Content-Transfer-Encoding: base64",
              ("Content-Disposition: attachment; filename=\"%s\"" % name).encode(),
              b"", b64.encode(), b"--" + boundary.encode() + b"--", b""]
    info["attachment"] = {"filename": name, "content_type": ctype, "size": len(payload)}
    return b"\n".join(head) + b"\n\n" + b"\n".join(parts), info


# --------------------------------------------------------------------------- layout


def folder_entries(layout):
    """All folders Dovecot lists, INBOX first, implicit parents included."""
    delim = "." if layout == "maildir" else "/"
    real = [p for p, _ in FOLDERS]
    names = []
    for path in real:
        levels = path.split("/")
        for i in range(1, len(levels)):
            parent = "/".join(levels[:i])
            if parent not in real and parent not in names:
                names.append(parent)
        if path not in names:
            names.append(path)
    entries = []
    for path in names:
        levels = path.split("/")
        server = delim.join(mutf7_encode(level) for level in levels)
        if path == "INBOX":
            rel = ""
        elif layout == "maildir":
            rel = "." + server
        else:
            rel = server
        selectable = path in real
        entries.append({"server_name": server, "display_path": path, "selectable": selectable,
                        "dir": rel if selectable or layout == "fs" else None})
    return delim, entries


def generate(outdir, layout, seed):
    rng = random.Random(seed)
    delim, folders = folder_entries(layout)
    specials = special_messages(rng)
    messages = []
    counts = dict(FOLDERS)
    clock = BASE_TIME
    filler_index = 0
    os.makedirs(outdir, exist_ok=True)
    for f in folders:
        f["messages"] = 0
        if f["dir"] is None:
            continue
        base = os.path.join(outdir, f["dir"]) if f["dir"] else outdir
        if not f["selectable"]:
            os.makedirs(base, exist_ok=True)  # fs layout: plain directory, no maildir
            continue
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(base, sub), exist_ok=True)
        if layout == "maildir" and f["dir"]:
            open(os.path.join(base, "maildirfolder"), "wb").close()
        path = f["display_path"]
        own = list(specials.get(path, []))
        batch = []
        for _ in range(counts[path] - len(own)):
            batch.append(filler_message(rng, filler_index, path))
            filler_index += 1
        for m in own:
            batch.insert(rng.randint(0, len(batch)), m)
        f["messages"] = len(batch)
        for seq, m in enumerate(batch, start=1):
            clock += 1
            recipients(rng, m)
            msgid = "<fixture.%d.%d@example.net>" % (seed, clock)
            data, info = render(rng, m, msgid)
            fname = "%d.M%06dP4242.fixture:2,%s" % (clock, seq, m.flags)
            rel = os.path.join(f["dir"], "cur", fname) if f["dir"] else os.path.join("cur", fname)
            full = os.path.join(outdir, rel)
            with open(full, "wb") as fh:
                fh.write(data)
            mtime = m.date_utc.timestamp() if m.date_utc else clock
            os.utime(full, (mtime, mtime))
            entry = {
                "folder": path,
                "server_name": f["server_name"],
                "seq": seq,
                "file": rel,
                "message_id": msgid,
                "headers": {
                    "Date": m.date_raw,
                    "From": m.from_raw,
                    "Subject": m.subject_raw,
                    "To": m.to,
                    "Cc": m.cc,
                },
                "subject": m.subject,
                "from": m.from_,
                "subject_style": m.subject_style,
                "from_style": m.from_style,
                "date_form": m.date_form,
                "date_utc": m.date_utc.strftime("%Y-%m-%dT%H:%M:%SZ") if m.date_utc else None,
                "flags": m.flags,
                "seen": "S" in m.flags,
                "deleted": "T" in m.flags,
                "flagged": "F" in m.flags,
                "multipart": bool(m.attachment),
                "attachment": info["attachment"],
                "body": m.body,
                "body_encoding": info["body_encoding"],
                "body_charset": info["body_charset"],
            }
            messages.append(entry)
    return {"layout": layout, "delimiter": delim, "seed": seed, "inbox_dir": "",
            "folders": folders, "messages": messages}


def main(argv):
    ap = argparse.ArgumentParser(description="Write a deterministic sample Maildir mailbox and its manifest.")
    ap.add_argument("outdir")
    ap.add_argument("layout", choices=["maildir", "fs"])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--manifest", help="manifest path (default: OUTDIR/../manifest.json)")
    args = ap.parse_args(argv)
    outdir = os.path.abspath(args.outdir)
    if os.path.exists(outdir) and (not os.path.isdir(outdir) or os.listdir(outdir)):
        ap.error("%s exists and is not an empty directory" % outdir)
    manifest_path = args.manifest or os.path.join(os.path.dirname(outdir), "manifest.json")
    manifest = generate(outdir, args.layout, args.seed)
    tmp = manifest_path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(manifest, fh, ensure_ascii=False, indent=1)
        fh.write("\n")
    os.replace(tmp, manifest_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
