// quorvik-oauth as the TokenCommand of the monitor, against the tests'
// OAuth2 dovecot: the first run signs the account in through the tests'
// authorization server, whose access tokens dovecot's oauth2 passdb then
// takes; expired tokens are refreshed before the sign-in, and a revoked
// refresh token is told plainly while the box keeps its counts.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "monitor/accounts/credentials.h"
#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/signin_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::string helper = QUORVIK_SOURCE_DIR "/oauth/quorvik-oauth";
const std::string testsDirectory = QUORVIK_SOURCE_DIR "/tests/oauth";

// tests/oauth/authserver.py, writing the access tokens it gives into the
// file that dovecot's token introspection reads.
class AuthServer {
public:
    explicit AuthServer(const std::string& tokens) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::string script = testsDirectory + "/authserver.py";
            execl("/usr/bin/python3", "python3", script.c_str(), "--tokens", tokens.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // The port is its first line, written once it listens.
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        port = line;
    }
    ~AuthServer() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    AuthServer(const AuthServer&) = delete;
    AuthServer& operator=(const AuthServer&) = delete;

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + port + path; }

    void control(const std::string& json) const {
        EXPECT_TRUE(scratch::run("curl -sf -H 'Content-Type: application/json' -d '" + json + "' " +
                                 url("/control")));
    }

    // How many tokens it gave for refresh tokens.
    int refreshes() const {
        std::string state = scratch::run("curl -sf " + url("/state")).value_or("");
        std::smatch found;
        if (!std::regex_search(state, found, std::regex(R"("refresh_token": (\d+))"))) return 0;
        return std::stoi(found[1]);
    }

    bool started() const { return !port.empty(); }

private:
    pid_t pid = -1;
    std::string port;
};

class HelperAsTokenCommand : public DovecotSignInTest {
protected:
    void SetUp() override {
        DovecotSignInTest::SetUp();
        // The helper's own home, the tests' browser, and no desktop.
        setenv("XDG_CONFIG_HOME", (directory / "config").c_str(), 1);
        setenv("BROWSER", (testsDirectory + "/browser.py").c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("DISPLAY");
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("BROWSER");
        DovecotSignInTest::TearDown();
    }

    // The helper's first run, as the user types it.
    void authorize() {
        std::string line = helper + " authorize alice --client-id quorvik-test --store file" +
                           " --authorization-url " + server.url("/authorize") + " --token-url " +
                           server.url("/token") +
                           " --scope mail --server 127.0.0.3 --server localhost";
        std::optional<std::string> said = scratch::run(line + " 2>&1");
        ASSERT_TRUE(said);
        EXPECT_NE(said->find("alice is authorized"), std::string::npos) << *said;
    }

    AuthServer server{dovecotDirectory() + "/tokens"};
};

}  // namespace

TEST_F(HelperAsTokenCommand, SignsInRefreshesAndTellsARevokedGrant) {
    ASSERT_TRUE(server.started());
    // Tokens that have all but expired: every sign-in needs a refreshed one.
    server.control(R"({"expires_in": 1})");
    authorize();

    auto boxes = boxesOf("TokenCommand = " + helper +
                         " token\n"
                         "Mailbox = IMAP 127.0.0.3:993 alice\n"    // XOAUTH2 alone
                         "Mailbox = POP3 localhost:995 alice\n");  // OAUTHBEARER
    ASSERT_EQ(boxes.size(), 2u);
    Box& imap = *boxes[0];
    expectCountedQuietly(imap, 2, 5);
    expectCountedQuietly(*boxes[1], 5, 5);
    EXPECT_EQ(server.refreshes(), 2);

    // The user withdraws the consent: the helper says so, the monitor tells
    // of the failed command, and the box keeps its counts.
    server.control(R"({"revoke": "alice"})");
    int result = 0;
    std::string said = check(imap, result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(said.find("quorvik-oauth: 127.0.0.1 refused the refresh token of alice "
                        "(invalid_grant: test server: invalid_grant): it was revoked or has "
                        "expired; authorize the account again"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("quorvik warning : the token command for alice@127.0.0.3:993 exited "
                        "with status 1\n"
                        "quorvik warning : box \"IMAP 127.0.0.3:993 alice\" fails: the "
                        "credential command failed\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(imap.newCount, 2);
    EXPECT_EQ(imap.totalCount, 5);

    // Signed in again, with tokens that live an hour: the first serves every
    // check without a refresh. The user's save of the rc file after signing in
    // ends the account's pause after the failed command.
    server.control(R"({"expires_in": 3600})");
    authorize();
    endCredentialPauses();
    expectCounted(imap, 2, 5, "quorvik warning : box \"IMAP 127.0.0.3:993 alice\" works again\n");
    expectCountedQuietly(imap, 2, 5);
    EXPECT_EQ(server.refreshes(), 2);
}
