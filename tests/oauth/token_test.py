"""quorvik-oauth as quorvik's TokenCommand: the account picked by
QUORVIK_USER, a cached token while it lives, a refresh once it has expired,
and the failures told plainly: a revoked refresh token, the network down, a
bad answer."""

import concurrent.futures
import unittest

from oauth_support import HelperTest


class Token(HelperTest):
    def issued(self, kind):
        return self.server.state()["grants"].get(kind, 0)

    def test_cached_while_it_lives_refreshed_once_expired(self):
        self.assertRan(self.authorize())
        first = self.token()
        self.assertRan(first)
        self.assertEqual(self.token().stdout, first.stdout)
        self.assertEqual(self.issued("refresh_token"), 0)

        # A token with less than a minute to live is refreshed at each call.
        self.server.control(expires_in=30)
        self.assertRan(self.authorize())
        seen = {first.stdout}
        for count in (1, 2):
            run = self.token()
            self.assertRan(run)
            self.assertNotIn(run.stdout, seen)
            seen.add(run.stdout)
            self.assertEqual(self.issued("refresh_token"), count)
            self.assertIn(run.stdout.strip(), self.server.state()["access"])
        # One that lives an hour is kept again.
        self.server.control(expires_in=3600)
        last = self.token()
        self.assertEqual(self.token().stdout, last.stdout)
        self.assertEqual(self.issued("refresh_token"), 3)

    def test_account_picked_by_quorvik_user_and_kept_to_its_servers(self):
        self.assertRan(self.authorize("alice"))
        self.assertRan(self.authorize("bob"))
        cases = [
            # user, server, status, token owner (or the message)
            ("bob", None, 0, "bob"),
            ("alice", "MAIL.example.org", 0, "alice"),
            ("alice", "imap.elsewhere.example", 3, ""),  # never to another server
            ("carol", None, 3, ""),  # not an account of the helper: quorvik tells it
        ]
        for user, server, status, owner in cases:
            with self.subTest(user=user, server=server):
                environment = {"QUORVIK_SERVER": server} if server else {}
                run = self.token(user, **environment)
                self.assertRan(run, status)
                self.assertEqual(run.stderr, "")
                self.assertTrue(run.stdout.startswith(owner + "-access-") if owner
                                else run.stdout == "", run.stdout)
        # Asked by hand, the helper says why.
        run = self.helper("token", "carol")
        self.assertRan(run, 3)
        self.assertIn("carol is not an account of quorvik-oauth", run.stderr)

    def test_new_refresh_tokens_replace_the_old_even_when_asked_at_once(self):
        self.server.control(expires_in=1, rotate=True)
        self.assertRan(self.authorize())
        # quorvik checks several boxes of one account at once.
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            runs = list(pool.map(lambda _: self.token(), range(4)))
        for run in runs:
            self.assertRan(run)
        self.assertRan(self.token())
        self.assertEqual(self.issued("refresh_token"), 5)

    def test_failures_are_told_and_print_no_token(self):
        token_url = self.server.url("/token")
        cases = [
            ({"revoke": "alice"},
             f"127.0.0.1 refused the refresh token of alice (invalid_grant: test server: "
             f"invalid_grant): it was revoked or has expired; authorize the account again: "
             f"quorvik-oauth authorize alice ..."),
            ({"answer": "garbage"}, f"bad answer from {token_url} (HTTP 200): not JSON"),
            ({"answer": "html-500"}, f"bad answer from {token_url} (HTTP 500): not JSON"),
            ({"answer": "no-token"}, f"bad answer from {token_url}: no usable access_token"),
        ]
        for settings, message in cases:
            with self.subTest(settings):
                self.server.control(answer="json", expires_in=1)
                self.assertRan(self.authorize())
                self.server.control(**settings)
                run = self.token()
                self.assertRan(run, 1)
                self.assertEqual(run.stdout, "")
                self.assertEqual(run.stderr, f"quorvik-oauth: {message}\n")

        self.server.control(answer="json")
        self.assertRan(self.authorize())
        self.server.stop()
        run = self.token()
        self.assertRan(run, 1)
        self.assertEqual(run.stdout, "")
        self.assertRegex(run.stderr, rf"^quorvik-oauth: cannot reach {token_url}: .*refused")


if __name__ == "__main__":
    unittest.main()
