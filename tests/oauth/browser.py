#!/usr/bin/python3
"""The tests' web browser, which quorvik-oauth opens through BROWSER.

    browser.py ADDRESS

Opens the address and follows the redirects, as a browser does after the
user's consent: the authorization server's answer leads to the helper's
loopback redirect. Each address opened is added to the file named by
QUORVIK_TEST_BROWSER_LOG, one a line.
"""

import os
import sys
import urllib.error
import urllib.request


class Recorder(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, request, file, code, message, headers, address):
        record(address)
        return super().redirect_request(request, file, code, message, headers, address)


def record(address):
    log = os.environ.get("QUORVIK_TEST_BROWSER_LOG")
    if log:
        with open(log, "a") as file:
            file.write(address + "\n")


def main():
    record(sys.argv[1])
    try:
        urllib.request.build_opener(Recorder).open(sys.argv[1], timeout=60).read()
    except urllib.error.HTTPError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
