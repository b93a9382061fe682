#!/usr/bin/env python3
"""An OAuth2 token introspection endpoint (RFC 7662) for the dovecot fixture.

    tokeninfo.py ADDRESS PORT TOKENS LOG

dovecot's oauth2 passdb posts token=... to it. TOKENS holds one good token
and its user a line ("alice-token alice"); a good token is active for its
user, any other is inactive. Each token asked about is added to LOG, one a
line, so that a test can tell which tokens reached the server.
"""

import http.server
import json
import sys
import urllib.parse


def main():
    address, port, tokens_path, log_path = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

    class Introspection(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            form = urllib.parse.parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
            token = form.get("token", [""])[0]
            with open(tokens_path) as tokens:
                users = dict(line.split() for line in tokens if line.strip())
            with open(log_path, "a") as log:
                log.write(token + "\n")
            if token in users:
                answer = {"active": True, "username": users[token], "scope": "mail"}
            else:
                answer = {"active": False}
            body = json.dumps(answer).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *arguments):
            pass

    http.server.ThreadingHTTPServer((address, port), Introspection).serve_forever()


if __name__ == "__main__":
    main()
