// Who wrote the newest unseen message, as a server tells it: the input is
// its answers to EXAMINE (A0001), UID SEARCH (A0002) and UID FETCH (A0003),
// in the reads they arrive in (see serverPieces). Whatever it says, the
// sender and subject come out clean; and the lines and literal bytes that the
// line reader gives do not depend on how the bytes were cut.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "monitor/net/imapclient.h"
#include "tests/fuzz/clean_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Every line, each after its length, and then every literal's bytes, in the
// order they came.
std::string readInPieces(std::string_view input, std::size_t piece) {
    ImapLineReader reader;
    std::string lines, literals;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        imapReadLines(
            reader, input.substr(at, piece),
            [&](std::string_view line) {
                fuzz::check(line.size() <= imapLineRoom, "a line is kept to its room");
                std::optional<uint32_t> highest = imapSearchMax(line);
                fuzz::check(!highest || *highest > 0, "a UID is never 0");
                lines.append(std::to_string(line.size())).append(":").append(line);
            },
            [&](std::string_view, std::string_view bytes) { literals.append(bytes); });
    }
    return lines + "|" + literals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::bytes(data, size);
    std::size_t piece = size > 0 ? 1 + data[0] % 13 : 1;
    fuzz::check(readInPieces(input, std::max<std::size_t>(size, 1)) == readInPieces(input, piece),
                "the lines and literals do not depend on how the bytes were cut");

    ImapConn conn;
    conn.connection.socket.reset(fuzz::scriptedServer(fuzz::serverPieces(input, 64)));
    ImapLineReader reader;
    auto ignore = [](std::string_view) {};
    if (imapExamine(conn, reader, "INBOX", ignore, conn.patience) != "OK") return 0;
    MessageSummary newest;
    imapReadNewest(conn, reader, size > 0 && (data[0] & 1) != 0, 1000, ignore, conn.patience,
                   newest);
    fuzz::checkClean(newest.from);
    fuzz::checkClean(newest.subject);
    return 0;
}
