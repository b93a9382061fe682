"""What the tests of quorvik-oauth share: the tests' authorization server,
a home of their own, a desktop secret store, and runs of the helper."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HELPER = os.path.join(ROOT, "oauth", "quorvik-oauth")
BROWSER = os.path.join(HERE, "browser.py")


class AuthServer:
    """tests/oauth/authserver.py, started for one test."""

    def __init__(self, tokens=None):
        command = [sys.executable, os.path.join(HERE, "authserver.py")]
        if tokens:
            command += ["--tokens", tokens]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def control(self, **settings):
        request = urllib.request.Request(self.url("/control"), data=json.dumps(settings).encode(),
                                         headers={"Content-Type": "application/json"})
        urllib.request.urlopen(request, timeout=30).read()

    def state(self):
        with urllib.request.urlopen(self.url("/state"), timeout=30) as answer:
            return json.load(answer)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()
        self.process.stdout.close()


class SecretStore:
    """A desktop's secret store: a session bus of its own with gnome-keyring
    on it, unlocked. The keyring answers on the bus once its standard
    output closes."""

    def __init__(self, home):
        self.environment = {"PATH": "/usr/bin:/bin", "HOME": home,
                            "XDG_DATA_HOME": os.path.join(home, "data"),
                            "XDG_RUNTIME_DIR": home}
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=self.environment, text=True)
        self.address = self.bus.stdout.readline().strip()
        self.environment["DBUS_SESSION_BUS_ADDRESS"] = self.address
        self.keyring = subprocess.Popen(
            ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=self.environment, text=True)
        self.keyring.stdin.write("test keyring password")
        self.keyring.stdin.close()
        self.keyring.stdout.read()

    def lookup(self, *attributes):
        found = subprocess.run(["secret-tool", "lookup", *attributes], capture_output=True,
                               text=True, env=self.environment, timeout=30)
        return found.stdout if found.returncode == 0 else None

    def stop(self):
        for process in (self.keyring, self.bus):
            process.terminate()
            process.wait()
        self.keyring.stdout.close()
        self.bus.stdout.close()


class HelperTest(unittest.TestCase):
    """Each test has a home of its own and an authorization server."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quorvik-oauth-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.browser_log = os.path.join(self.home, "browser.log")
        # Neither a display nor a session bus: the tests' own browser, and a
        # secret store only where a test starts one.
        self.environment = {
            "PATH": "/usr/bin:/bin",
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
            "BROWSER": BROWSER,
            "QUORVIK_TEST_BROWSER_LOG": self.browser_log,
            "PYTHONDONTWRITEBYTECODE": "1",
        }
        self.server = AuthServer()
        self.addCleanup(self.server.stop)

    def helper(self, *arguments, **environment):
        return subprocess.run([HELPER, *arguments], capture_output=True, text=True, timeout=120,
                              env={**self.environment, **environment})

    def authorize(self, account="alice", *more, client="quorvik-test"):
        return self.helper("authorize", account, "--client-id", client,
                           "--authorization-url", self.server.url("/authorize"),
                           "--token-url", self.server.url("/token"),
                           "--scope", "mail", "--server", "mail.example.org", *more)

    def token(self, account="alice", **environment):
        return self.helper("token", **{"QUORVIK_USER": account, **environment})

    def account_file(self, account="alice"):
        return os.path.join(self.home, "config", "quorvik", "oauth", account + ".json")

    def account_record(self, account="alice"):
        with open(self.account_file(account)) as file:
            return json.load(file)

    def assertRan(self, run, status=0):
        self.assertEqual(run.returncode, status, run.stderr)
