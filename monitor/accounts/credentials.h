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
#include "monitor/accounts/commandrun.h"
#include "monitor/net/sasl.h"
#include "monitor/net/signin.h"
#include "monitor/state/boxes.h"

// True for a POP3, HOTMAIL or IMAP box whose password is absent, empty or
// "-" (the word the editor writes for none when a folder follows), while
// PasswordCommand or TokenCommand is set: its credential comes from them.
bool takesCommandCredential(const Box& box);
// True when such a box may sign in with a token: TokenCommand is set, so the
// client asks the server for its mechanisms before it signs in.
bool mayUseToken(const Box& box);

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

// Tells what the server made of the credential; prints the warnings of the
// account that differ from those of its last sign-in, starts the pause after
// a refusal, and wipes the secret.
void reportSignIn(const Box& box, Credential& credential, SignInVerdict verdict);

// What a client of the box's account is handed to sign in: the box's own
// password checked, chooseCredential and reportSignIn for the box, and a
// refusal for the number of connections noted (noteConnectionLimit). The
// box must outlive the sign-in.
CredentialAsk credentialAsk(const Box& box);
