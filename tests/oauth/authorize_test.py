"""The first run of quorvik-oauth: the sign-in in the browser with PKCE and a
loopback redirect, on another device, refused, and where the refresh token
goes."""

import os
import stat
import unittest
import urllib.parse

from oauth_support import HelperTest, SecretStore


class Authorize(HelperTest):
    def test_browser_sign_in_with_pkce_keeps_the_tokens_for_the_user_alone(self):
        run = self.authorize("firstname.lastname@mail.example-corp.org")
        self.assertRan(run)
        account = "firstname.lastname@mail.example-corp.org"
        self.assertIn(f"{account} is authorized", run.stdout)
        self.assertIn("TokenCommand = quorvik-oauth token", run.stdout)

        # The browser opened the sign-in page, then came back to the helper.
        with open(self.browser_log) as log:
            opened = log.read().split()
        self.assertEqual(len(opened), 2, opened)
        asked = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(opened[0]).query))
        self.assertEqual(asked["code_challenge_method"], "S256")
        self.assertEqual(asked["login_hint"], account)
        self.assertEqual(asked["scope"], "mail")
        self.assertRegex(asked["redirect_uri"], r"^http://127\.0\.0\.1:\d+$")
        back = urllib.parse.urlsplit(opened[1])
        self.assertEqual(back.netloc, urllib.parse.urlsplit(asked["redirect_uri"]).netloc)
        answer = dict(urllib.parse.parse_qsl(back.query))
        self.assertEqual(answer["state"], asked["state"])
        self.assertIn("code", answer)
        # The server checked the verifier against the challenge.
        state = self.server.state()
        self.assertEqual(state["grants"], {"authorization_code": 1})

        directory = os.path.dirname(self.account_file(account))
        self.assertEqual(stat.S_IMODE(os.stat(directory).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(self.account_file(account)).st_mode), 0o600)
        record = self.account_record(account)
        self.assertEqual(record["refresh_token_store"], "file")
        self.assertTrue(record["refresh_token"].startswith(account + "-refresh-"))

        # The first token is the one the sign-in brought.
        first = self.token(account)
        self.assertRan(first)
        self.assertEqual(first.stdout, record["access_token"] + "\n")
        self.assertEqual(self.server.state()["grants"], {"authorization_code": 1})

    def test_known_providers_ask_for_the_mail_scopes(self):
        cases = [
            ("google", "127.0.0.1", {"scope": "https://mail.google.com/",
                                     "access_type": "offline", "prompt": "consent"}),
            ("microsoft", "localhost",
             {"scope": "https://outlook.office.com/IMAP.AccessAsUser.All "
                       "https://outlook.office.com/POP.AccessAsUser.All offline_access"}),
        ]
        for provider, redirect_host, expected in cases:
            with self.subTest(provider):
                run = self.helper("authorize", "alice", "--provider", provider,
                                  "--client-id", "quorvik-test",
                                  "--authorization-url", self.server.url("/authorize"),
                                  "--token-url", self.server.url("/token"))
                self.assertRan(run)
                asked = self.server.state()["last_sign_in"]
                for name, value in expected.items():
                    self.assertEqual(asked[name], value)
                self.assertTrue(asked["redirect_uri"].startswith(f"http://{redirect_host}:"))

    def test_client_secret_goes_where_the_provider_needs_it(self):
        cases = [(["--client-secret", "s3cret"], 0, ""),
                 ([], 1, "refused the request (invalid_client: test server: invalid_client)")]
        for more, status, message in cases:
            with self.subTest(more):
                run = self.authorize("alice", *more, client="quorvik-confidential")
                self.assertRan(run, status)
                self.assertIn(message, run.stderr)

    def test_refused_consent_is_told_and_keeps_nothing(self):
        self.server.control(consent="deny")
        run = self.authorize()
        self.assertRan(run, 1)
        self.assertEqual(run.stderr.splitlines()[-1],
                         "quorvik-oauth: the sign-in of alice was refused "
                         "(access_denied: The user refused)")
        self.assertFalse(os.path.exists(self.account_file()))

    def test_device_sign_in_waits_for_the_consent(self):
        device = ["--device", "--device-url", self.server.url("/device")]
        self.server.control(pending=2)
        run = self.authorize("alice", *device)
        self.assertRan(run)
        self.assertIn(f"open {self.server.url('/device')} on any device", run.stdout)
        self.assertIn("WDJB-MJHT", run.stdout)
        self.assertFalse(os.path.exists(self.browser_log))
        self.assertEqual(self.server.state()["grants"],
                         {"urn:ietf:params:oauth:grant-type:device_code": 1})
        self.assertRan(self.token())

        self.server.control(consent="deny")
        run = self.authorize("bob", *device)
        self.assertRan(run, 1)
        self.assertIn("the sign-in of bob was refused (access_denied", run.stderr)

    def test_options_that_cannot_make_an_account(self):
        cases = [
            (["authorize", "alice", "--client-id", "x", "--token-url", "https://t.example/",
              "--authorization-url", "https://a.example/", "--scope", "mail"],
             "without --provider, give --server"),
            (["authorize", "alice", "--client-id", "x", "--provider", "google", "--device"],
             "google offers no sign-in on another device for mail"),
            (["authorize", "alice", "--client-id", "x", "--provider", "google",
              "--token-url", "http://oauth.example.org/token"],
             "the token address must be an https address (or http on this machine)"),
        ]
        for arguments, message in cases:
            with self.subTest(message):
                run = self.helper(*arguments)
                self.assertRan(run, 1)
                self.assertIn(message, run.stderr)

    def test_refresh_token_goes_to_the_desktop_secret_store(self):
        store = SecretStore(self.home)
        self.addCleanup(store.stop)
        self.environment["DBUS_SESSION_BUS_ADDRESS"] = store.address
        self.environment["XDG_DATA_HOME"] = store.environment["XDG_DATA_HOME"]
        self.server.control(expires_in=1)  # so that the first token call refreshes
        run = self.authorize()
        self.assertRan(run)
        self.assertIn("kept in the desktop's secret store", run.stdout)
        record = self.account_record()
        self.assertEqual(record["refresh_token_store"], "secret-tool")
        self.assertNotIn("refresh_token", record)
        kept = store.lookup("service", "quorvik-oauth", "account", "alice")
        self.assertTrue(kept and kept.startswith("alice-refresh-"), kept)

        # A refresh reads it from there.
        self.assertRan(self.token())
        self.assertEqual(self.server.state()["last_token_request"]["refresh_token"], kept)

        # Forgotten, it leaves the store too.
        self.assertRan(self.helper("forget", "alice"))
        self.assertIsNone(store.lookup("service", "quorvik-oauth", "account", "alice"))
        self.assertFalse(os.path.exists(self.account_file()))


if __name__ == "__main__":
    unittest.main()
