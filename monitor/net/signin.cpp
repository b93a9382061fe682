#include "monitor/net/signin.h"

#include "common/text.h"

std::optional<SecretText> tokenResponse(const Credential& credential, const NetAccount& account) {
    std::optional<SecretText> message =
        oauthMessage(credential.mechanism, account.user.value_or(""), account.server, account.port,
                     credential.secret.view());
    if (!message) return std::nullopt;
    return base64Encode(message->view());
}

bool isConnectionLimit(std::string_view line) {
    for (std::string_view said :
         {"[LIMIT]", "Maximum number of connections", "Too many simultaneous connections"}) {
        for (std::size_t at = 0; at + said.size() <= line.size(); ++at)
            if (equalsNoCase(line.substr(at, said.size()), said)) return true;
    }
    return false;
}

SignInVerdict refusalVerdict(std::string_view line, NetFailure& failure) {
    if (isConnectionLimit(line)) {
        failure = NetFailure::tooManyConnections;
        return SignInVerdict::undecided;
    }
    failure = NetFailure::signInRefused;
    return isPassingRefusal(line) ? SignInVerdict::undecided : SignInVerdict::refused;
}
