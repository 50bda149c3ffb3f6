#!/usr/bin/env python3
"""Write a large Maildir++ mailbox for the search benchmark.

Usage: gen-bench-mailbox.py OUTDIR [--folders F] [--messages M] [--hits H]

F folders "Bench.000" ... (delimiter "."), each with M small messages, INBOX empty. H of all
messages, spread evenly over the folders, carry the word "needle" in their Subject and the word
"haystack" in their body; no other message does. Every message is plain text with Date, From,
To and Subject. Written straight into cur/ with increasing time stamps, so sequence numbers
follow the order written.
"""

import argparse
import os


def main():
    p = argparse.ArgumentParser()
    p.add_argument("outdir")
    p.add_argument("--folders", type=int, default=200)
    p.add_argument("--messages", type=int, default=500)
    p.add_argument("--hits", type=int, default=5000)
    a = p.parse_args()

    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(a.outdir, sub), exist_ok=True)
    total = a.folders * a.messages
    step = total / a.hits if a.hits else total + 1
    hit_at = {int(i * step) for i in range(a.hits)}
    stamp = 1136000000
    n = 0
    for f in range(a.folders):
        folder = os.path.join(a.outdir, ".Bench.%03d" % f)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        for m in range(a.messages):
            subject = "Status %d" % n
            text = "Body of message %d." % n
            if n in hit_at:
                subject = "Found the needle %d" % n
                text += " Somewhere in the haystack."
            day = 1 + n % 28
            body = (
                "Date: Tue, %d Jan 2006 10:%02d:%02d +0100\r\n"
                "From: Sender %d <sender%d@example.org>\r\n"
                "To: demo@example.org\r\n"
                "Subject: %s\r\n"
                "Message-ID: <bench.%d@example.org>\r\n"
                "\r\n"
                "%s\r\n" % (day, n % 60, m % 60, n % 97, n % 97, subject, n, text)
            )
            stamp += 1
            name = "%d.M%dP1.bench:2,S" % (stamp, n)
            with open(os.path.join(folder, "cur", name), "w", newline="") as fh:
                fh.write(body)
            n += 1


if __name__ == "__main__":
    main()
