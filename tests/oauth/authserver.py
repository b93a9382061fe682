#!/usr/bin/python3
"""A small OAuth2 authorization server for the tests of quorvik-oauth.

    authserver.py [--port N] [--tokens FILE]

Listens on 127.0.0.1 (port N, or one the system picks) and prints the port
as its first line once it listens.

    GET  /authorize  the browser's sign-in: checks the client, the loopback
                     redirect and the PKCE challenge (S256 alone), then
                     consents or refuses as set, and redirects to the client
                     with a code or with error=access_denied
    POST /token      the authorization_code grant (the PKCE verifier checked,
                     the code used once), refresh_token, and the device grant
    POST /device     a device code (RFC 8628)
    POST /control    the test's settings, a JSON object (below)
    GET  /state      what it saw: the grants it gave by type, the parameters
                     of the last sign-in and the last token request

Settings: consent "allow" or "deny"; expires_in of the next access tokens;
rotate, true for a new refresh token at each refresh (the old one then
refused); answer "json", "garbage" (no JSON), "no-token" or "html-500" for
the token endpoint; pending, the device polls answered authorization_pending
before the consent; revoke, a user whose tokens are revoked at once.

The clients: "quorvik-test", public, and "quorvik-confidential", whose secret
is "s3cret". With --tokens FILE the access tokens in force are written
there, "TOKEN USER" a line, for the tests' dovecot (tokeninfo.py).
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import sys
import threading
import urllib.parse

CLIENTS = {"quorvik-test": None, "quorvik-confidential": "s3cret"}
DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"


class Authority:
    def __init__(self, tokens_path):
        self.lock = threading.Lock()
        self.tokens_path = tokens_path
        self.settings = {"consent": "allow", "expires_in": 3600, "rotate": False,
                         "answer": "json", "pending": 0}
        self.codes = {}     # code -> (client, redirect, challenge, user)
        self.refresh = {}   # refresh token -> (client, user)
        self.access = {}    # access token -> user
        self.devices = {}   # device code -> [polls left, client]
        self.grants = {}    # grant type -> how many were given
        self.last_sign_in = {}
        self.last_token_request = {}

    def write_tokens(self):
        if not self.tokens_path:
            return
        with open(self.tokens_path + ".new", "w") as file:
            for token, user in self.access.items():
                file.write(f"{token} {user}\n")
        # Replaced whole: tokeninfo.py reads it at every request.
        os.replace(self.tokens_path + ".new", self.tokens_path)

    def revoke(self, user):
        self.refresh = {token: grant for token, grant in self.refresh.items() if grant[1] != user}
        self.access = {token: owner for token, owner in self.access.items() if owner != user}
        self.write_tokens()

    def issue(self, grant, client, user, refresh=True):
        self.grants[grant] = self.grants.get(grant, 0) + 1
        access = f"{user}-access-{secrets.token_hex(8)}"
        self.access[access] = user
        self.write_tokens()
        answer = {"access_token": access, "token_type": "Bearer",
                  "expires_in": self.settings["expires_in"]}
        if refresh:
            token = f"{user}-refresh-{secrets.token_hex(8)}"
            self.refresh[token] = (client, user)
            answer["refresh_token"] = token
        return answer


class Handler(http.server.BaseHTTPRequestHandler):
    authority = None

    def log_message(self, *arguments):
        pass

    def send(self, status, body, content_type="application/json", headers=()):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def send_json(self, status, value):
        self.send(status, json.dumps(value))

    def error(self, code, status=400):
        self.send_json(status, {"error": code, "error_description": f"test server: {code}"})

    def form(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length).decode()
        if self.headers.get("Content-Type", "").startswith("application/json"):
            return json.loads(body or "{}")
        return {name: values[0] for name, values in urllib.parse.parse_qs(body).items()}

    def client_of(self, form):
        """The client the request names, when its secret is right."""
        client = form.get("client_id")
        if client not in CLIENTS:
            return None
        if CLIENTS[client] is not None and form.get("client_secret") != CLIENTS[client]:
            return None
        return client

    def do_GET(self):
        parts = urllib.parse.urlsplit(self.path)
        query = {name: values[0] for name, values in urllib.parse.parse_qs(parts.query).items()}
        a = self.authority
        with a.lock:
            if parts.path == "/state":
                self.send_json(200, {"grants": a.grants, "last_sign_in": a.last_sign_in,
                                     "last_token_request": a.last_token_request,
                                     "access": a.access})
            elif parts.path == "/authorize":
                self.authorize(query)
            else:
                self.send(404, "no such page", "text/plain")

    def authorize(self, query):
        a = self.authority
        a.last_sign_in = query
        redirect = query.get("redirect_uri", "")
        target = urllib.parse.urlsplit(redirect)
        if query.get("client_id") not in CLIENTS or target.scheme != "http" \
                or target.hostname not in ("127.0.0.1", "localhost"):
            self.send(400, "bad client or redirect", "text/plain")
            return
        fields = {"state": query.get("state", "")}
        challenge = query.get("code_challenge", "")
        if query.get("response_type") != "code" or query.get("code_challenge_method") != "S256" \
                or len(challenge) != 43:
            fields["error"] = "invalid_request"
        elif a.settings["consent"] != "allow":
            fields["error"] = "access_denied"
            fields["error_description"] = "The user refused"
        else:
            code = secrets.token_urlsafe(16)
            user = query.get("login_hint") or "alice"
            a.codes[code] = (query["client_id"], redirect, challenge, user)
            fields["code"] = code
        # The loopback redirect's port is free (RFC 8252, 7.3).
        location = redirect + ("&" if "?" in redirect else "?") + urllib.parse.urlencode(fields)
        self.send(302, "", "text/plain", [("Location", location)])

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        form = self.form()
        a = self.authority
        with a.lock:
            if path == "/control":
                user = form.pop("revoke", None)
                if user:
                    a.revoke(user)
                a.settings.update(form)
                self.send_json(200, a.settings)
            elif path == "/device":
                self.device(form)
            elif path == "/token":
                a.last_token_request = form
                self.token(form)
            else:
                self.send(404, "no such page", "text/plain")

    def device(self, form):
        client = self.client_of(form)
        if client is None:
            self.error("invalid_client", 401)
            return
        code = secrets.token_urlsafe(16)
        self.authority.devices[code] = [int(self.authority.settings["pending"]), client]
        port = self.server.server_address[1]
        self.send_json(200, {"device_code": code, "user_code": "WDJB-MJHT",
                             "verification_uri": f"http://127.0.0.1:{port}/device",
                             "expires_in": 600, "interval": 0})

    def token(self, form):
        a = self.authority
        answer = a.settings["answer"]
        if answer == "garbage":
            self.send(200, "this is not json", "text/plain")
            return
        if answer == "html-500":
            self.send(500, "<html><body>Internal Server Error</body></html>", "text/html")
            return
        client = self.client_of(form)
        if client is None:
            self.error("invalid_client", 401)
            return
        grant = form.get("grant_type")
        if grant == "authorization_code":
            found = a.codes.pop(form.get("code", ""), None)
            if found is None or found[0] != client or found[1] != form.get("redirect_uri"):
                self.error("invalid_grant")
                return
            verifier = form.get("code_verifier", "")
            digest = hashlib.sha256(verifier.encode()).digest()
            expected = base64.urlsafe_b64encode(digest).rstrip(b"=").decode()
            # RFC 7636, 4.1: 43 to 128 unreserved characters.
            unreserved = all(c.isalnum() or c in "-._~" for c in verifier)
            if not (43 <= len(verifier) <= 128 and unreserved and expected == found[2]):
                self.error("invalid_grant")
                return
            issued = a.issue(grant, client, found[3])
        elif grant == "refresh_token":
            token = form.get("refresh_token", "")
            found = a.refresh.get(token)
            if found is None or found[0] != client:
                self.error("invalid_grant")
                return
            issued = a.issue(grant, client, found[1], refresh=bool(a.settings["rotate"]))
            if a.settings["rotate"]:
                del a.refresh[token]
        elif grant == DEVICE_GRANT:
            device = a.devices.get(form.get("device_code", ""))
            if device is None or device[1] != client:
                self.error("invalid_grant")
                return
            if device[0] > 0:
                device[0] -= 1
                self.error("authorization_pending")
                return
            del a.devices[form["device_code"]]
            if a.settings["consent"] != "allow":
                self.error("access_denied")
                return
            issued = a.issue(grant, client, "alice")
        else:
            self.error("unsupported_grant_type")
            return
        if answer == "no-token":
            issued.pop("access_token")
        self.send_json(200, issued)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tokens")
    arguments = parser.parse_args()
    Handler.authority = Authority(arguments.tokens)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", arguments.port), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
