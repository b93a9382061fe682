#pragma once
// The credentials of network boxes that have no password of their own: the
// user's PasswordCommand and TokenCommand, the passwords they gave, kept per
// account, and the warnings when they fail.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/core/boxes.h"
#include "monitor/net/sasl.h"
#include "monitor/net/secret.h"

// True for a POP3, HOTMAIL or IMAP box whose password is absent, empty or
// "-" (the word the editor writes for none when a folder follows), while
// PasswordCommand or TokenCommand is set: its credential comes from them.
bool takesCommandCredential(const Box& box);
// True when such a box may sign in with a token: TokenCommand is set, so the
// client asks the server for its mechanisms before it signs in.
bool mayUseToken(const Box& box);

enum class CredentialSource {
    box,              // the box's own password (or none), as always
    tokenCommand,     // a token, for `mechanism`
    passwordCommand,  // a password from the command or kept from it
    none,             // the commands gave nothing: the empty password
};

struct Credential {
    CredentialSource source = CredentialSource::box;
    SaslMechanism mechanism = SaslMechanism::none;
    SecretText secret;
    // What went wrong on the way, printed once per change by reportSignIn.
    std::vector<std::string> warnings;

    bool isToken() const { return source == CredentialSource::tokenCommand; }
};

// The first response of a token's sign-in, base64 as both protocols send it;
// none when the token cannot make one.
std::optional<SecretText> tokenResponse(const Credential& credential, const Box& box);

// How the box signs in, given what the server offers: a token when TokenCommand
// is set, the server offers OAUTHBEARER or XOAUTH2 and the command gives one;
// else, unless the server takes no password on the link, the password of
// PasswordCommand, run only when none is kept for the account; else the
// empty password. A box that does not take its credential
// from the commands gets its own password. May run the commands, for up to
// their time limit each.
Credential chooseCredential(const Box& box, const SaslOffer& offer);

enum class SignInVerdict {
    accepted,
    refused,    // the credential was refused: a kept password is forgotten
    undecided,  // no verdict came (the connection failed, or the server's
                // trouble was passing)
};

// Tells what the server made of the credential; prints the warnings of the
// account that differ from those of its last sign-in, and wipes the secret.
void reportSignIn(const Box& box, Credential& credential, SignInVerdict verdict);

// One run of a credential command.
struct CommandRun {
    enum class Status {
        secret,      // exit status 0 and a first line: `secret`
        exited,      // a non-zero exit status: `code`
        signalled,   // ended by signal `code`
        silent,      // exit status 0 and nothing on the first line
        timedOut,    // stopped at the time limit, with its process group
        flooded,     // more than secretOutputLimit bytes; stopped
        badText,     // a CR or NUL in the first line
        notStarted,  // no pipe or process could be made
    };
    Status status = Status::notStarted;
    int code = 0;
    SecretText secret;
};

inline constexpr std::size_t secretOutputLimit = 4096;

// Runs the command through /bin/sh with the box's QUORVIK_TYPE,
// QUORVIK_SERVER, QUORVIK_PORT, QUORVIK_USER and QUORVIK_FOLDER in its
// environment, its standard input /dev/null, its standard error the
// monitor's. Waits for it at most the time limit, then kills its process
// group. Leaves no zombie, whether or not the process ignores SIGCHLD.
CommandRun runCredentialCommand(std::string_view command, const Box& box);
