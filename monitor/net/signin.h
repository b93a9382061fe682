#pragma once
// What a network client is handed to sign in: the account as a plain record,
// and the questions it asks of whoever keeps the credentials (which
// credential to send, given what the server offers, and what became of it).

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"
#include "monitor/net/netfailure.h"
#include "monitor/net/sasl.h"

// Where a client connects and as whom.
struct NetAccount {
    std::string server;  // a name or an address, as the user wrote it
    int port = 0;
    std::optional<std::string> user;
    std::optional<std::string> folder;  // IMAP; none for INBOX
};

enum class CredentialSource {
    box,              // the account's own password (or none), as always
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
    // What went wrong on the way, printed once per change by whoever hears
    // the verdict.
    std::vector<std::string> warnings;

    bool isToken() const { return source == CredentialSource::tokenCommand; }
    // False when nothing may be sent: a failed command never leads to a
    // sign-in with the empty password.
    bool maySignIn() const {
        return source != CredentialSource::failed && source != CredentialSource::held;
    }
};

enum class SignInVerdict {
    accepted,
    refused,    // the credential was refused: a kept password is forgotten
    undecided,  // no verdict came (the connection failed, or the server's
                // trouble was passing)
};

// What the client asks while it signs in.
struct CredentialAsk {
    // False when the account's own password cannot go on a command line
    // (it holds a line end): the client then sends nothing (IMAP).
    bool passwordFits = true;
    // True when a token may be sent: the client asks the server for its
    // mechanisms before it signs in.
    bool mayUseToken = false;
    // The credential to send, given what the server offers.
    std::function<Credential(const SaslOffer&)> choose;
    // What the server made of it, and the connection's failure so far
    // (tooManyConnections when it refused for their number). Wipes the
    // secret.
    std::function<void(Credential&, SignInVerdict, NetFailure)> report;
};

// The first response of a token's sign-in, base64 as both protocols send it;
// none when the token cannot make one.
std::optional<SecretText> tokenResponse(const Credential& credential, const NetAccount& account);

// True when a refusal (a NO, an -ERR or a BYE) says that the server takes
// no more connections for the user: [LIMIT] (RFC 5530), "Maximum number of
// connections" (dovecot), "Too many simultaneous connections" (Gmail,
// Courier), in any case.
bool isConnectionLimit(std::string_view line);

// What a refusal's line tells of the credential, and why the sign-in failed.
// A refusal for the number of connections, or one that says it will pass,
// says nothing of the credential.
SignInVerdict refusalVerdict(std::string_view line, NetFailure& failure);
