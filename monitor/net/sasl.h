#pragma once
// The OAuth2 sign-in messages of SASL (OAUTHBEARER, RFC 7628, and Google's
// and Microsoft's XOAUTH2), base64, and what a server says it offers, as
// pure functions apart from the I/O.

#include <optional>
#include <string_view>

#include "common/secret.h"

enum class SaslMechanism { none, oauthBearer, xoauth2 };

// What a server offers for OAuth2.
struct SaslOffer {
    bool oauthBearer = false;
    bool xoauth2 = false;
    // SASL-IR (IMAP): the first response may go on the AUTHENTICATE line.
    bool initialResponse = false;
    // LOGINDISABLED (IMAP): no password goes on this link, only a token.
    bool loginDisabled = false;
};

// The offer of the CAPABILITY data of an IMAP answer: AUTH=OAUTHBEARER,
// AUTH=XOAUTH2, SASL-IR and LOGINDISABLED, in any case.
SaslOffer imapSaslOffer(std::string_view answer);
// The offer of the SASL line of a POP3 CAPA reply. POP3 always allows the
// first response on the AUTH line (RFC 5034), within its line limit.
SaslOffer pop3SaslOffer(std::string_view capa);

// OAUTHBEARER when offered, else XOAUTH2, else none.
SaslMechanism chooseOAuthMechanism(const SaslOffer& offer);
// The name on the AUTHENTICATE or AUTH line.
std::string_view saslMechanismName(SaslMechanism mechanism);

// The first client response of the mechanism, before base64, or none when
// the user name or the token holds a byte that would end a field early.
std::optional<SecretText> oauthMessage(SaslMechanism mechanism, std::string_view user,
                                       std::string_view host, int port, std::string_view token);

// What the client answers to the error challenge of a refused token, so that
// the server ends the exchange: a single ^A for OAUTHBEARER (RFC 7628), an
// empty line for XOAUTH2. Already base64.
std::string_view oauthErrorReply(SaslMechanism mechanism);

// Base64 with padding (RFC 4648), in a text that is wiped when it goes.
SecretText base64Encode(std::string_view bytes);

// True when a refusal says the failure is the server's and passing, not the
// credential's: [UNAVAILABLE] (IMAP, RFC 5530), [SYS/TEMP], [SYS/PERM] and
// [IN-USE] (POP3, RFC 2449 and 3206). A password is then kept.
bool isPassingRefusal(std::string_view line);
