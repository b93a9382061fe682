// The reply and answer parsing of the mail clients, without a server.

#include <gtest/gtest.h>

#include <string>

#include "monitor/net/imapclient.h"
#include "monitor/net/pop3client.h"

using namespace std::string_literals;

TEST(Pop3Parse, ReplyEndsAtItsFirstLineEnd) {
    struct Case {
        std::string received;
        std::size_t length;
    } cases[] = {
        {"+OK 5 120", 0},         // a reply split before its end is not complete
        {"+", 0},                 // ... even though its status indicator has come
        {"+OK 5 120\r\n", 11},    //
        {"-ERR no\r\n+OK", 9},    // only the first line belongs to the reply
        {"+OK\n", 4},             // a bare LF ends it too
        {"+OK \0\0 7\r\n"s, 10},  // NUL bytes are data
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.received);
        EXPECT_EQ(pop3LineLength(c.received), c.length);
    }
}

TEST(Pop3Parse, SecondFieldIsTheNumber) {
    struct Case {
        std::string reply;
        int32_t number;
    } cases[] = {
        {"+OK 5 12034\r\n", 5},
        {"+OK 3\r\n", 3},
        {"+OK  7  9\r\n", 7},  // runs of blanks split once
        {"+OK\r\n", 0},
        {"+OK \r\n", 0},
        {"+OK x5\r\n", 0},
        {"+OK -4 1\r\n", -4},
        {"+OK 12abc\r\n", 12},
        {"+OK 99999999999 0\r\n", INT32_MAX},  // beyond 32 bits: clamped
        {"+OK -99999999999\r\n", INT32_MIN},
        {"+OK 4\0 9\r\n"s, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(pop3ReplyNumber(c.reply), c.number);
    }
}

namespace {

// Feeds the text in pieces of `piece` bytes, as reads would bring it.
ImapAnswerState collect(const std::string& tag, const std::string& text, std::size_t piece) {
    ImapAnswerState state;
    state.tag = tag;
    for (std::size_t at = 0; at < text.size() && !state.ended; at += piece) {
        imapAnswerFeed(state, std::string_view{text}.substr(at, piece));
    }
    imapAnswerFinish(state);
    return state;
}

}  // namespace

TEST(ImapParse, AnswerEndsAtTheLineThatBeginsWithTheTag) {
    const std::string longLine = "* 1 FETCH (" + std::string(3000, 'x') + ")\r\n";
    struct Case {
        const char* name;
        std::string tag;
        std::string text;
        bool ended;
        std::string kept;
    } cases[] = {
        {"greeting: first line", "", "* OK ready\r\n* more\r\n", true, "* OK ready\r\n"},
        {"tag inside a line is no end", "A0001 ",
         "* OK A0001 is here\r\n* CAPABILITY IMAP4rev1 STARTTLS\r\nA0001 OK done\r\n", true,
         "* CAPABILITY IMAP4rev1 STARTTLS\r\nA0001 OK done\r\n"},
        {"other tag is no end", "A0002 ", "A0001 OK old\r\nA00021 OK\r\n", false, ""},
        {"long untagged data is dropped", "A0003 ",
         longLine + "* STATUS INBOX (MESSAGES 2 UNSEEN 1)\r\n" + longLine + "A0003 OK\r\n", true,
         "* STATUS INBOX (MESSAGES 2 UNSEEN 1)\r\nA0003 OK\r\n"},
        {"literal continuation kept", "A0004 ",
         "* STATUS {5}\r\nINBOX (MESSAGES 3 UNSEEN 1)\r\nA0004 OK\r\n", true,
         "* STATUS {5}\r\nINBOX (MESSAGES 3 UNSEEN 1)\r\nA0004 OK\r\n"},
        {"bytes after the end are not read", "A0005 ", "A0005 OK\r\n* STATUS X (MESSAGES 1)\r\n",
         true, "A0005 OK\r\n"},
        {"silence takes the partial line", "A0006 ", "A0006 OK", true, "A0006 OK"},
        {"no line ends at all", "", std::string(5000, '*'), true, std::string(1023, '*')},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            ImapAnswerState state = collect(c.tag, c.text, piece);
            EXPECT_EQ(state.ended, c.ended);
            EXPECT_EQ(state.kept, c.kept);
            EXPECT_LE(state.kept.size(), imapAnswerSize - 1);
        }
    }
}

TEST(ImapParse, TaggedStatus) {
    EXPECT_TRUE(imapTaggedOk("* STATUS X (MESSAGES 1 UNSEEN 0)\r\nA0003 OK done\r\n", "A0003 "));
    EXPECT_TRUE(imapTaggedOk("A0003 ok\r\n", "A0003 "));
    EXPECT_FALSE(imapTaggedOk("* OK fine\r\nA0003 NO [AUTHENTICATIONFAILED] not OK\r\n", "A0003 "));
    EXPECT_FALSE(imapTaggedOk("A0003 OKAY\r\n", "A0003 "));
    EXPECT_FALSE(imapTaggedOk("* OK\r\n", "A0003 "));
}

TEST(ImapParse, CapabilitiesAreWholeWordsOfCapabilityLines) {
    struct Case {
        std::string answer;
        bool starttls;
    } cases[] = {
        {"* CAPABILITY IMAP4rev1 STARTTLS AUTH=PLAIN\r\nA0001 OK\r\n", true},
        {"* capability imap4rev1 starttls\r\nA0001 OK\r\n", true},
        {"* CAPABILITY IMAP4rev1 STARTTLS\r\n", true},
        {"* CAPABILITY IMAP4rev1 STARTTLS", true},
        {"* CAPABILITY IMAP4rev1 XSTARTTLS STARTTLSX\r\nA0001 OK\r\n", false},
        {"* OK STARTTLS is here\r\nA0001 OK STARTTLS\r\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        EXPECT_EQ(imapHasCapability(c.answer, "STARTTLS"), c.starttls);
    }
}

TEST(ImapParse, StatusCounts) {
    struct Case {
        std::string answer;
        bool usable;
        int32_t messages, unseen;
    } cases[] = {
        {"* STATUS INBOX (MESSAGES 12 UNSEEN 3)\r\nA0004 OK\r\n", true, 12, 3},
        {"* STATUS INBOX (UNSEEN 3 MESSAGES 12)\r\nA0004 OK\r\n", true, 12, 3},
        {"* 4 EXISTS\r\n* status \"My \\\"Box\\\"\" (MESSAGES 0 RECENT 9 UNSEEN 0)\r\n", true, 0,
         0},
        {"* STATUS {8}\r\nMy (Box) (MESSAGES 5 UNSEEN 2)\r\n", true, 5, 2},
        {"* STATUS Other (MESSAGES 1)\r\n* STATUS INBOX (MESSAGES 7 UNSEEN 6)\r\n", true, 7, 6},
        {"* STATUS INBOX (MESSAGES 4294967295 UNSEEN 1)\r\n", false, 0, 0},
        {"* STATUS INBOX (MESSAGES 2147483647 UNSEEN 1 HIGHESTMODSEQ 99999999999999)\r\n", true,
         INT32_MAX, 1},
        {"* STATUS INBOX (MESSAGES UNSEEN 1)\r\n", false, 0, 0},
        {"* STATUS INBOX (MESSAGES 5 UNSEEN 1\r\n", false, 0, 0},
        {"* STATUS \"INBOX (MESSAGES 5 UNSEEN 1)\r\n", false, 0, 0},
        {"* STATUS {99}\r\nINBOX (MESSAGES 5 UNSEEN 1)\r\n", false, 0, 0},
        {"A0004 OK * STATUS INBOX (MESSAGES 5 UNSEEN 1)\r\n", false, 0, 0},
        {"* STATUS INBOX (MESSAGES -5 UNSEEN 1)\r\n", false, 0, 0},
        {"* STATUS INBOX (MESSAGES 5 UNSEEN 1)"s + "\0"s, true, 5, 1},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        std::optional<ImapCounts> counts = imapParseStatus(c.answer);
        ASSERT_EQ(counts.has_value(), c.usable);
        if (!counts) continue;
        EXPECT_EQ(counts->messages, c.messages);
        EXPECT_EQ(counts->unseen, c.unseen);
    }
}

TEST(ImapParse, QuotedStringsCannotBreakTheCommand) {
    EXPECT_EQ(imapQuoted("secret"), "\"secret\"");
    EXPECT_EQ(imapQuoted(""), "\"\"");
    EXPECT_EQ(imapQuoted("pa\"ss\\word"), "\"pa\\\"ss\\\\word\"");
    EXPECT_EQ(imapQuoted("x\r\nA0009 DELETE INBOX"), std::nullopt);
    EXPECT_EQ(imapQuoted("x\ny"), std::nullopt);
    EXPECT_EQ(imapQuoted("x\0y"s), std::nullopt);
}

// The UID of the newest unseen message: the highest a SEARCH names, the MAX
// of an ESEARCH; never a modifier's number, a tag's, or one past 32 bits.
TEST(ImapParse, HighestUidOfASearch) {
    struct Case {
        std::string line;
        std::optional<uint32_t> highest;
    } cases[] = {
        {"* SEARCH 2 84 9", 84},
        {"* search 7", 7},
        {"* SEARCH", std::nullopt},
        {"* SEARCH 3 5 (MODSEQ 917162500)", 5},
        {"* SEARCH 4294967295 1", 4294967295u},
        {"* SEARCH 4294967296 12 x7 0", 12},
        {"* SEARCHING 5", std::nullopt},
        {"* ESEARCH (TAG \"A0007\") UID MAX 31", 31},
        {"* ESEARCH (TAG \"A0007\") UID MIN 2 MAX 31 COUNT 9", 31},
        {"* ESEARCH (TAG \"A0007\") UID COUNT 9", std::nullopt},
        {"* ESEARCH (TAG \"A0007\") UID", std::nullopt},
        {"* 5 EXISTS", std::nullopt},
        {"A0007 OK SEARCH 9", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(imapSearchMax(c.line), c.highest);
    }
}
