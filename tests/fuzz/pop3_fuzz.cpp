// The reading of POP3 replies. The input is what a server says, in the reads
// it arrives in (see serverPieces); the client goes through the login, STAT,
// LAST and quit on it. The reply helpers are also given the whole input.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "monitor/net/pop3client.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void checkLineLength(std::string_view text) {
    std::size_t length = pop3LineLength(text);
    fuzz::check(length <= text.size(), "a line is within the text");
    if (length > 0) fuzz::check(text[length - 1] == '\n', "a line ends with its newline");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::bytes(data, size);
    checkLineLength(input);
    pop3ReplyNumber(input);

    Pop3Conn conn;
    conn.connection.socket.reset(fuzz::scriptedServer(fuzz::serverPieces(input, 64)));
    if (pop3Login(conn, std::string("user"), std::string("secret")) == 0 && pop3Stat(conn) == 1)
        pop3Quit(conn);

    // A reply read on its own: never more than its buffer holds.
    Pop3Conn single;
    single.connection.socket.reset(fuzz::scriptedServer(fuzz::serverPieces(input, 64)));
    Pop3Reply reply;
    int length = pop3Recv(single, reply);
    fuzz::check(length >= 0 && static_cast<std::size_t>(length) < pop3ReplySize,
                "a reply fits its buffer");
    fuzz::check(reply[length] == '\0', "a reply ends with a zero byte");
    checkLineLength({reply.data(), static_cast<std::size_t>(length)});
    return 0;
}
