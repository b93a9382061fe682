#include "monitor/net/sasl.h"

#include <string>

#include "common/text.h"

namespace {

// Calls `take` with each blank-separated word of the text's lines that begin
// with `prefix`, the prefix left out.
template <typename Take>
void eachWordOfLines(std::string_view text, std::string_view prefix, Take take) {
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!startsWithNoCase(line, prefix)) continue;
        line.remove_prefix(prefix.size());
        while (!line.empty()) {
            std::size_t blank = line.find(' ');
            std::string_view word = line.substr(0, blank);
            if (!word.empty()) take(word);
            line = blank == std::string_view::npos ? std::string_view{} : line.substr(blank + 1);
        }
    }
}

// No field of the messages may hold the separator ^A, nor a byte that ends
// a line.
bool fitsField(std::string_view text) {
    return text.find_first_of(std::string_view{"\x01\r\n\0", 4}) == std::string_view::npos;
}

// The user name as a SASL name of the GS2 header (RFC 5801): "," and "="
// would end it or read as an escape.
std::string saslName(std::string_view user) {
    std::string name;
    for (char c : user) {
        if (c == ',')
            name += "=2C";
        else if (c == '=')
            name += "=3D";
        else
            name += c;
    }
    return name;
}

}  // namespace

SaslOffer imapSaslOffer(std::string_view answer) {
    SaslOffer offer;
    eachWordOfLines(answer, "* CAPABILITY ", [&](std::string_view word) {
        if (equalsNoCase(word, "AUTH=OAUTHBEARER")) offer.oauthBearer = true;
        if (equalsNoCase(word, "AUTH=XOAUTH2")) offer.xoauth2 = true;
        if (equalsNoCase(word, "SASL-IR")) offer.initialResponse = true;
        if (equalsNoCase(word, "LOGINDISABLED")) offer.loginDisabled = true;
    });
    return offer;
}

SaslOffer pop3SaslOffer(std::string_view capa) {
    SaslOffer offer;
    offer.initialResponse = true;
    eachWordOfLines(capa, "SASL ", [&](std::string_view word) {
        if (equalsNoCase(word, "OAUTHBEARER")) offer.oauthBearer = true;
        if (equalsNoCase(word, "XOAUTH2")) offer.xoauth2 = true;
    });
    return offer;
}

SaslMechanism chooseOAuthMechanism(const SaslOffer& offer) {
    if (offer.oauthBearer) return SaslMechanism::oauthBearer;
    if (offer.xoauth2) return SaslMechanism::xoauth2;
    return SaslMechanism::none;
}

std::string_view saslMechanismName(SaslMechanism mechanism) {
    switch (mechanism) {
    case SaslMechanism::oauthBearer:
        return "OAUTHBEARER";
    case SaslMechanism::xoauth2:
        return "XOAUTH2";
    case SaslMechanism::none:
        break;
    }
    return "";
}

std::optional<SecretText> oauthMessage(SaslMechanism mechanism, std::string_view user,
                                       std::string_view host, int port, std::string_view token) {
    if (!fitsField(user) || !fitsField(host) || !fitsField(token) || token.empty())
        return std::nullopt;
    SecretText message;
    switch (mechanism) {
    case SaslMechanism::oauthBearer:
        // The GS2 header names the user; host and port tell the server which
        // of its names the client reached (RFC 7628, 3.1).
        message.append("n,a=").append(saslName(user)).append(",\x01host=").append(host);
        message.append("\x01port=").append(std::to_string(port));
        message
            .append(
                "\x01"
                "auth=Bearer ")
            .append(token)
            .append("\x01\x01");
        return message;
    case SaslMechanism::xoauth2:
        message.append("user=").append(user).append(
            "\x01"
            "auth=Bearer ");
        message.append(token).append("\x01\x01");
        return message;
    case SaslMechanism::none:
        break;
    }
    return std::nullopt;
}

std::string_view oauthErrorReply(SaslMechanism mechanism) {
    return mechanism == SaslMechanism::oauthBearer ? "AQ==" : "";
}

SecretText base64Encode(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    SecretText encoded;
    char quad[4];
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        std::size_t left = bytes.size() - at;
        unsigned long group = static_cast<unsigned char>(bytes[at]) << 16;
        if (left > 1) group |= static_cast<unsigned char>(bytes[at + 1]) << 8;
        if (left > 2) group |= static_cast<unsigned char>(bytes[at + 2]);
        quad[0] = alphabet[(group >> 18) & 63];
        quad[1] = alphabet[(group >> 12) & 63];
        quad[2] = left > 1 ? alphabet[(group >> 6) & 63] : '=';
        quad[3] = left > 2 ? alphabet[group & 63] : '=';
        encoded.append({quad, 4});
    }
    wipeBytes(quad, sizeof quad);
    return encoded;
}

bool isPassingRefusal(std::string_view line) {
    for (std::string_view code : {"[UNAVAILABLE]", "[SYS/TEMP]", "[SYS/PERM]", "[IN-USE]"}) {
        for (std::size_t at = 0; at + code.size() <= line.size(); ++at)
            if (startsWithNoCase(line.substr(at), code)) return true;
    }
    return false;
}
