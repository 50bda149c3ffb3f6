#!/usr/bin/env python3
"""An OAuth 2.0 authorization server for the tests, strict where real providers are strict.

    oauthserver.py start DIR SIGNING_KEY | stop DIR     (the port goes to DIR/port)

One public client, "fernquill-test", on 127.0.0.1. GET /authorize wants response_type=code,
state, scope, a redirect_uri of http://127.0.0.1:<port>/ (RFC 8252) and an S256 code_challenge;
it approves the login_hint (or "test_user": a user picking another account) at once. POST
/token takes a code once, within a minute, with its redirect_uri and the matching code_verifier;
refresh tokens are rotated and taken once (a replay revokes the whole sign-in). Access tokens
are JWTs signed RS256 with SIGNING_KEY, sub = user, as the Dovecot fixture (--oauth2) checks.
For the tests: POST /test/settings (access_lifetime: the tokens' exp, claimed_lifetime: their
expires_in), /test/revoke (every refresh token), /test/mint (user=...: a token such as a desktop
account service holds); GET /test/stats (refresh token requests, invalid_grant answers).
"""

import base64
import hashlib
import json
import os
import re
import secrets
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLIENT_ID = "fernquill-test"
CODE_LIFETIME = 60
REDIRECT = re.compile(r"^http://127\.0\.0\.1:[0-9]{1,5}/$")
CHALLENGE = re.compile(r"^[A-Za-z0-9._~-]{43,128}$")


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class State:
    def __init__(self, key):
        self.key = key
        self.lock = threading.Lock()
        self.codes = {}    # code -> grant
        self.refresh = {}  # refresh token -> {"user", "scope", "family", "used", "revoked"}
        self.stats = {"refresh_token": 0, "invalid_grant": 0}
        self.access_lifetime = 3600
        self.claimed_lifetime = 3600

    def jwt(self, user, scope, lifetime):
        now = int(time.time())
        head = b64url(json.dumps({"alg": "RS256", "typ": "JWT", "kid": "default"}).encode())
        body = b64url(json.dumps({"sub": user, "iat": now, "exp": now + lifetime,
                                  "scope": scope, "client_id": CLIENT_ID}).encode())
        signed = (head + "." + body).encode()
        signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.key],
                                   input=signed, capture_output=True, check=True).stdout
        return head + "." + body + "." + b64url(signature)

    def issue(self, user, scope, family):
        token = secrets.token_urlsafe(32)
        self.refresh[token] = {"user": user, "scope": scope, "family": family,
                               "used": False, "revoked": False}
        return {"access_token": self.jwt(user, scope, self.access_lifetime),
                "token_type": "Bearer", "expires_in": self.claimed_lifetime,
                "refresh_token": token, "scope": scope}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    state = None

    def log_message(self, *args):
        pass  # the requests carry tokens: nothing is logged

    def reply(self, status, body, content_type="application/json", headers=()):
        data = body if isinstance(body, bytes) else body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def json(self, status, obj):
        self.reply(status, json.dumps(obj))

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > 65536:
            return {}
        raw = self.rfile.read(length).decode()
        return {k: v[0] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        if url.path == "/authorize":
            return self.authorize(query)
        if url.path == "/test/stats":
            with self.state.lock:
                return self.json(200, self.state.stats)
        self.reply(404, "not found", "text/plain")

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        params = self.form()
        s = self.state
        with s.lock:
            if path == "/token":
                return self.token(params)
            if path == "/test/settings":
                s.access_lifetime = int(params.get("access_lifetime", 3600))
                s.claimed_lifetime = int(params.get("claimed_lifetime", s.access_lifetime))
                return self.json(200, {})
            if path == "/test/revoke":
                for grant in s.refresh.values():
                    grant["revoked"] = True
                return self.json(200, {})
            if path == "/test/mint":
                return self.json(200, {"access_token": s.jwt(params["user"], "mail", 3600),
                                       "expires_in": 3600})
        self.reply(404, "not found", "text/plain")

    def authorize(self, q):
        redirect = q.get("redirect_uri", "")
        if q.get("client_id") != CLIENT_ID or not REDIRECT.match(redirect):
            return self.reply(400, "unknown client or redirect_uri", "text/plain")

        def back(**params):
            location = redirect + "?" + urllib.parse.urlencode(params)
            self.reply(302, "", "text/plain", [("Location", location)])

        state = q.get("state", "")
        if (q.get("response_type") != "code" or not state or not q.get("scope")
                or q.get("code_challenge_method") != "S256"
                or not CHALLENGE.match(q.get("code_challenge", ""))):
            return back(error="invalid_request", state=state)
        code = secrets.token_urlsafe(24)
        with self.state.lock:
            self.state.codes[code] = {
                "redirect_uri": redirect, "challenge": q["code_challenge"],
                "user": q.get("test_user") or q.get("login_hint") or "demo",
                "scope": q["scope"], "expires": time.time() + CODE_LIFETIME}
        back(code=code, state=state)

    def token(self, p):
        s = self.state

        def refuse(error, status=400):
            if error == "invalid_grant":
                s.stats["invalid_grant"] += 1
            self.json(status, {"error": error})

        if p.get("client_id") != CLIENT_ID:
            return refuse("invalid_client", 401)
        grant_type = p.get("grant_type")
        if grant_type == "authorization_code":
            grant = s.codes.pop(p.get("code", ""), None)  # a code is taken once
            verifier = p.get("code_verifier", "")
            if (grant is None or grant["expires"] < time.time()
                    or grant["redirect_uri"] != p.get("redirect_uri")
                    or b64url(hashlib.sha256(verifier.encode()).digest()) != grant["challenge"]):
                return refuse("invalid_grant")
            return self.json(200, s.issue(grant["user"], grant["scope"], secrets.token_hex(8)))
        if grant_type == "refresh_token":
            s.stats["refresh_token"] += 1
            grant = s.refresh.get(p.get("refresh_token", ""))
            if grant is None or grant["revoked"]:
                return refuse("invalid_grant")
            if grant["used"]:
                for other in s.refresh.values():  # a replay: the whole sign-in is revoked
                    if other["family"] == grant["family"]:
                        other["revoked"] = True
                return refuse("invalid_grant")
            grant["used"] = True
            return self.json(200, s.issue(grant["user"], grant["scope"], grant["family"]))
        refuse("unsupported_grant_type")


def serve(directory, key):
    Handler.state = State(key)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(os.path.join(directory, "pid"), "w") as fh:
        fh.write(str(os.getpid()))
    with open(os.path.join(directory, "port.tmp"), "w") as fh:
        fh.write(str(server.server_address[1]))
    os.rename(os.path.join(directory, "port.tmp"), os.path.join(directory, "port"))
    server.serve_forever()


def stop(directory):
    try:
        with open(os.path.join(directory, "pid")) as fh:
            pid = int(fh.read())
        with open(f"/proc/{pid}/cmdline", "rb") as fh:
            if b"oauthserver.py" in fh.read():
                os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass
    for name in ("pid", "port"):
        try:
            os.remove(os.path.join(directory, name))
        except OSError:
            pass


def start(directory, key):
    stop(directory)
    os.makedirs(directory, exist_ok=True)
    if not os.path.exists(key):
        sys.exit(f"oauthserver: no signing key {key} (start the Dovecot fixture with --oauth2)")
    log = open(os.path.join(directory, "server.log"), "w")
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", directory, key],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                             start_new_session=True)
    deadline = time.monotonic() + 20
    while not os.path.exists(os.path.join(directory, "port")):
        if child.poll() is not None or time.monotonic() > deadline:
            sys.exit("oauthserver: did not come up; see " + log.name)
        time.sleep(0.02)
    with open(os.path.join(directory, "port")) as fh:
        print(f"authorization server on 127.0.0.1:{fh.read()}")


if __name__ == "__main__":
    command, args = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else ("", [])
    if command == "start" and len(args) == 2:
        start(*args)
    elif command == "serve" and len(args) == 2:
        serve(*args)
    elif command == "stop" and len(args) == 1:
        stop(*args)
    else:
        sys.exit(__doc__)
