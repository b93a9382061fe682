// What servers say they offer for OAuth2, the POP3 multi-line reply that
// says it, and the messages and base64 made from a token. The input is in
// turn a server's reply and a token.

#include <cstddef>
#include <cstdint>
#include <string>

#include "monitor/net/pop3client.h"
#include "monitor/net/sasl.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

Pop3ListState feedInPieces(std::string_view input, std::size_t piece) {
    Pop3ListState state;
    for (std::size_t at = 0; at < input.size(); at += piece)
        pop3ListFeed(state, input.substr(at, piece));
    return state;
}

bool isBase64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::bytes(data, size);

    Pop3ListState whole = feedInPieces(input, std::max<std::size_t>(size, 1));
    fuzz::check(whole.kept.size() <= pop3ReplySize - 1, "a list keeps at most 1023 bytes");
    Pop3ListState cut = feedInPieces(input, size > 0 ? 1 + data[0] % 13 : 1);
    fuzz::check(cut.kept == whole.kept && cut.ended == whole.ended,
                "the list does not depend on how it was cut");
    pop3SaslOffer(whole.kept);
    imapSaslOffer(input);
    isPassingRefusal(input);

    SecretText encoded = base64Encode(input);
    fuzz::check(encoded.size() == (size + 2) / 3 * 4, "base64 is four bytes for every three");
    for (char c : encoded.view()) fuzz::check(isBase64(c), "base64 holds its alphabet alone");

    for (SaslMechanism mechanism : {SaslMechanism::oauthBearer, SaslMechanism::xoauth2}) {
        std::optional<SecretText> message = oauthMessage(mechanism, "alice", "h", 993, input);
        if (!message) continue;
        std::string_view text = message->view();
        fuzz::check(text.find_first_of(std::string_view{"\r\n\0", 3}) == std::string_view::npos,
                    "no line end or NUL in a message");
        fuzz::check(text.ends_with(std::string("Bearer ") + std::string(input) + "\x01\x01"),
                    "the token stands whole before the end");
    }
    return 0;
}
