#pragma once
// The credentials of network boxes: the user's PasswordCommand and
// TokenCommand for boxes that have no password of their own, the passwords
// they gave, kept per account, the warnings when they fail, and the pauses
// after a failure or a refusal, per account, so that neither a command nor a
// refused password is tried again at every check.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"
#include "monitor/net/commandrun.h"
#include "monitor/net/sasl.h"
#include "monitor/state/boxes.h"

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
    none,             // no command ran (the server offers no OAuth2): the empty password
    failed,           // the commands ran and gave nothing: no sign-in
    held,             // a failure is being waited out: nothing ran, no sign-in
};

struct Credential {
    CredentialSource source = CredentialSource::box;
    SaslMechanism mechanism = SaslMechanism::none;
    SecretText secret;
    // What went wrong on the way, printed once per change by reportSignIn.
    std::vector<std::string> warnings;

    bool isToken() const { return source == CredentialSource::tokenCommand; }
    // False when nothing may be sent: a failed command never leads to a
    // sign-in with the empty password.
    bool maySignIn() const {
        return source != CredentialSource::failed && source != CredentialSource::held;
    }
};

// The first response of a token's sign-in, base64 as both protocols send it;
// none when the token cannot make one.
std::optional<SecretText> tokenResponse(const Credential& credential, const Box& box);

// How the box signs in, given what the server offers: a token when TokenCommand
// is set, the server offers OAUTHBEARER or XOAUTH2 and the command gives one;
// else, unless the server takes no password on the link, the password of
// PasswordCommand, run only when none is kept for the account; else, when no
// command ran, the empty password, and when they ran and gave nothing, no
// sign-in at all. A box that does not take its credential from the commands
// gets its own password. May run the commands, for up to their time limit
// each. A command runs once at a time for an account: a box that needs it
// while it runs waits for that run and shares what it gives. Its warnings
// are printed the moment its run ends.
Credential chooseCredential(const Box& box, const SaslOffer& offer);

// True while the box's account waits out a failure: its command failed (or
// the server refused what it gave) and the pause after it has not ended, or
// the server refused the box's own password. Nothing is to be sent then; the
// client does not even connect. The pause after a failed command lasts
// until the next pass, then twice as long each time, up to half an hour;
// after a refused password of the rc file five minutes, doubling up to an
// hour. A new rc file ends them all.
bool signInHeld(const Box& box);

// True while a pause of the box's account holds its checks back: a failure
// of its sign-in being waited out, or its server's limit of connections
// (accountPaused). The box then keeps its state, or, working, takes the
// failure waited out (noteCheckHeld).
bool checkHeldBack(Box& box);

// The rc file was read again: the pauses end, so that what the user changed
// is tried at once.
void endCredentialPauses();

enum class SignInVerdict {
    accepted,
    refused,    // the credential was refused: a kept password is forgotten
    undecided,  // no verdict came (the connection failed, or the server's
                // trouble was passing)
};

// Tells what the server made of the credential; prints the warnings of the
// account that differ from those of its last sign-in, starts the pause after
// a refusal, and wipes the secret.
void reportSignIn(const Box& box, Credential& credential, SignInVerdict verdict);
