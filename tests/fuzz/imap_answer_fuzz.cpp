// The reading of IMAP answers. The input is what a server says, in the reads
// it arrives in (see serverPieces); the client reads the greeting and goes
// through CAPABILITY, LOGIN, STATUS and LOGOUT on it. The answer state is also
// fed the whole input at once and in small pieces, which must not differ.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "monitor/net/imapclient.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::size_t answerRoom = imapAnswerSize - 1;

ImapAnswerState feedInPieces(std::string_view input, std::string_view tag, std::size_t piece) {
    ImapAnswerState state;
    state.tag = tag;
    for (std::size_t at = 0; at < input.size(); at += piece)
        imapAnswerFeed(state, input.substr(at, piece));
    imapAnswerFinish(state);
    return state;
}

void checkAnswer(const ImapAnswer& answer, int size) {
    fuzz::check(size >= -1 && size <= static_cast<int>(answerRoom), "an answer fits its buffer");
    if (size >= 0) fuzz::check(answer[static_cast<std::size_t>(size)] == '\0', "ends with NUL");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::bytes(data, size);
    // The greeting is read without a tag; the first commands are A0001 and on.
    for (std::string_view tag : {"", "A0001 ", "A0002 "}) {
        ImapAnswerState whole = feedInPieces(input, tag, std::max<std::size_t>(size, 1));
        fuzz::check(whole.kept.size() <= answerRoom, "an answer keeps at most 1023 bytes");
        fuzz::check(whole.received <= size, "no more bytes taken than came");
        std::size_t piece = size > 0 ? 1 + data[0] % 13 : 1;
        ImapAnswerState cut = feedInPieces(input, tag, piece);
        fuzz::check(
            cut.kept == whole.kept && cut.ended == whole.ended && cut.received == whole.received,
            "the answer does not depend on how it was cut");
    }

    ImapConn conn;
    conn.connection.socket.reset(fuzz::scriptedServer(fuzz::serverPieces(input, 64)));
    ImapAnswer answer;
    int greeting = imapGetAnswer(conn, answer);
    checkAnswer(answer, greeting);
    if (greeting < 0 || answer[0] != '*') return 0;
    if (imapLogin(conn, std::string("user"), std::string("secret")) == 0) {
        int status = imapStatus(conn, std::string("INBOX"));
        if (status == 0) {
            fuzz::check(imapGetMessages(&conn) >= 0 && imapGetUnseen(&conn) >= 0,
                        "counts taken from a STATUS answer are not negative");
        }
    }
    imapLogout(conn);
    return 0;
}
