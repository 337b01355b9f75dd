#!/usr/bin/env python3
"""Google's OAuth endpoints for an installed app, as the tests need them, on a loopback port.

Writes its port and a line break to the descriptor after --ready-fd, then serves until killed:
  GET  /o/oauth2/v2/auth      checks the request and answers 302 to the redirect URI with a code
                              (or error=access_denied) and the state; the body is that address too
  POST /token                 the code exchange: single use, same redirect URI, client secret,
                              PKCE S256; returns tokens and an unsigned ID token the Firebase Auth
                              emulator accepts
  GET  /oauth2/v2/userinfo    the profile for a Bearer access token
  POST /_test/next            what the next sign-in does: JSON {"deny", "noIdToken", "noName",
                              "email", "name", "sub", "badProfile"}
Usage: fake_google_oauth.py CLIENT_ID CLIENT_SECRET --ready-fd FD
"""
import base64
import hashlib
import json
import os
import secrets
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLIENT_ID, CLIENT_SECRET = sys.argv[1], sys.argv[2]
lock = threading.Lock()
codes = {}   # code -> {challenge, redirect_uri, user}
tokens = {}  # access token -> user
next_user = {}


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def id_token(user):
    claims = {"iss": "https://accounts.google.com", "aud": CLIENT_ID, "azp": CLIENT_ID, "sub": user["sub"],
              "email": user["email"], "email_verified": True, "iat": 1700000000, "exp": 4102444800}
    if user.get("name"):
        claims["name"] = user["name"]
    return b64url(b'{"alg":"none","typ":"JWT"}') + "." + b64url(json.dumps(claims).encode()) + "."


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def json_reply(self, status, value):
        self.reply(status, json.dumps(value).encode(), [("Content-Type", "application/json")])

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        if url.path == "/o/oauth2/v2/auth":
            redirect = query.get("redirect_uri", "")
            wanted = {"response_type": "code", "code_challenge_method": "S256", "client_id": CLIENT_ID,
                      "access_type": "offline", "prompt": "consent",
                      "scope": "openid https://www.googleapis.com/auth/userinfo.email "
                               "https://www.googleapis.com/auth/userinfo.profile"}
            wrong = [k for k, v in wanted.items() if query.get(k) != v]
            if wrong or not redirect.startswith("http://127.0.0.1:") or not query.get("code_challenge") \
                    or not query.get("state"):
                return self.reply(400, ("bad authorization request: " + ",".join(wrong)).encode())
            with lock:
                plan = dict(next_user)
                next_user.clear()
            back = {"state": query["state"]}
            if plan.get("deny"):
                back["error"] = "access_denied"
            else:
                code = "4/0" + secrets.token_urlsafe(24)
                user = {"sub": plan.get("sub") or secrets.token_hex(8),
                        "email": plan.get("email", "owner@example.com"), "plan": plan}
                if not plan.get("noName"):
                    user["name"] = plan.get("name", "Ann Owner")
                with lock:
                    codes[code] = {"challenge": query["code_challenge"], "redirect_uri": redirect, "user": user}
                back["code"] = code
                back["scope"] = wanted["scope"]
            location = redirect + "?" + urllib.parse.urlencode(back)
            return self.reply(302, location.encode(), [("Location", location)])
        if url.path == "/oauth2/v2/userinfo":
            auth = self.headers.get("Authorization", "")
            with lock:
                user = tokens.get(auth[len("Bearer "):]) if auth.startswith("Bearer ") else None
            if not user:
                return self.json_reply(401, {"error": {"code": 401, "status": "UNAUTHENTICATED"}})
            if user["plan"].get("badProfile"):
                return self.reply(200, b"<html>not json</html>", [("Content-Type", "text/html")])
            profile = {"id": user["sub"], "email": user["email"], "verified_email": True}
            if "name" in user:
                profile["name"] = user["name"]
            return self.json_reply(200, profile)
        self.reply(404)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        if self.path == "/_test/next":
            with lock:
                next_user.clear()
                next_user.update(json.loads(body or "{}"))
            return self.reply(204)
        if self.path != "/token":
            return self.reply(404)
        if self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
            return self.json_reply(400, {"error": "invalid_request", "error_description": "content type"})
        form = dict(urllib.parse.parse_qsl(body, keep_blank_values=True))
        with lock:
            grant = codes.pop(form.get("code", ""), None)
        if grant is None or form.get("grant_type") != "authorization_code" \
                or form.get("client_id") != CLIENT_ID or form.get("client_secret") != CLIENT_SECRET \
                or form.get("redirect_uri") != grant["redirect_uri"] \
                or b64url(hashlib.sha256(form.get("code_verifier", "").encode()).digest()) != grant["challenge"]:
            return self.json_reply(400, {"error": "invalid_grant", "error_description": "Bad Request"})
        access = "ya29." + secrets.token_urlsafe(24)
        user = grant["user"]
        with lock:
            tokens[access] = user
        reply = {"access_token": access, "expires_in": 3599, "refresh_token": "1//0g" + secrets.token_urlsafe(16),
                 "scope": "openid", "token_type": "Bearer"}
        if not user["plan"].get("noIdToken"):
            reply["id_token"] = id_token(user)
        self.json_reply(200, reply)


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
ready = int(sys.argv[sys.argv.index("--ready-fd") + 1])
os.write(ready, b"%d\n" % server.server_address[1])
os.close(ready)
server.serve_forever()
