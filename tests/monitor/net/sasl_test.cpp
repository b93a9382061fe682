// The OAuth2 messages, base64 and the servers' offers, without a server.

#include <gtest/gtest.h>

#include <string>

#include "monitor/net/sasl.h"

using namespace std::string_literals;

TEST(Base64, EncodesTheVectorsOfRfc4648) {
    struct Case {
        std::string bytes, encoded;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\x01\xff\x80\0"s, "Af+AAA=="},
        {std::string(100, 'x'), ""},  // grows past its first block
    };
    for (int i = 0; i < 33; ++i) cases[8].encoded += "eHh4";
    cases[8].encoded += "eA==";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(base64Encode(c.bytes).view(), c.encoded);
    }
}

TEST(OAuthMessage, TheExamplesOfTheirSpecifications) {
    // RFC 7628, 4.1, with the user and host of its example.
    std::optional<SecretText> bearer =
        oauthMessage(SaslMechanism::oauthBearer, "user@example.com", "server.example.com", 143,
                     "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==");
    ASSERT_TRUE(bearer);
    EXPECT_EQ(bearer->view(),
              "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
              "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
    EXPECT_EQ(base64Encode(bearer->view()).view(),
              "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9"
              "QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");

    // Google's XOAUTH2 example, to the byte of its base64.
    std::optional<SecretText> google =
        oauthMessage(SaslMechanism::xoauth2, "someuser@example.com", "imap.gmail.com", 993,
                     "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg");
    ASSERT_TRUE(google);
    EXPECT_EQ(base64Encode(google->view()).view(),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbG"
              "NrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
}

TEST(OAuthMessage, EscapesTheUserOfTheHeaderAndRefusesFieldBreakers) {
    std::optional<SecretText> escaped =
        oauthMessage(SaslMechanism::oauthBearer, "a,b=c", "h", 993, "t");
    ASSERT_TRUE(escaped);
    EXPECT_EQ(escaped->view(),
              "n,a=a=2Cb=3Dc,\x01host=h\x01port=993\x01"
              "auth=Bearer t\x01\x01");
    // XOAUTH2 has no header: the name goes as it is.
    EXPECT_EQ(oauthMessage(SaslMechanism::xoauth2, "a,b=c", "h", 993, "t")->view(),
              "user=a,b=c\x01"
              "auth=Bearer t\x01\x01");

    struct Case {
        std::string user, host, token;
    } refused[] = {
        {"alice", "h", ""},           // no token at all
        {"alice", "h", "t\x01u"},     // ^A would end the field
        {"al\x01ice", "h", "t"},      //
        {"alice", "h\x01", "t"},      //
        {"alice", "h", "t\r\nA1 X"},  // nor may a line end slip in
        {"alice", "h", "t\0u"s},      //
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.user + " " + c.host + " " + c.token);
        for (SaslMechanism mechanism : {SaslMechanism::oauthBearer, SaslMechanism::xoauth2})
            EXPECT_FALSE(oauthMessage(mechanism, c.user, c.host, 143, c.token));
    }
    EXPECT_FALSE(oauthMessage(SaslMechanism::none, "alice", "h", 143, "t"));
}

TEST(SaslOffer, ImapCapabilitiesAndTheChoice) {
    struct Case {
        std::string answer;
        bool bearer, xoauth2, initial;
        SaslMechanism chosen;
    } cases[] = {
        // dovecot's list, before the tagged line
        {"* CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ AUTH=PLAIN "
         "AUTH=LOGIN AUTH=OAUTHBEARER AUTH=XOAUTH2\r\nA0001 OK Pre-login capabilities listed\r\n",
         true, true, true, SaslMechanism::oauthBearer},
        {"* capability imap4rev1 auth=xoauth2\r\nA0001 OK\r\n", false, true, false,
         SaslMechanism::xoauth2},
        {"* CAPABILITY IMAP4rev1 AUTH=PLAIN STARTTLS\r\nA0001 OK\r\n", false, false, false,
         SaslMechanism::none},
        // words that only begin like the mechanisms, and the words of other lines
        {"* CAPABILITY AUTH=OAUTHBEARER2 AUTH=XOAUTH SASL-IRX\r\n"
         "A0001 OK [CAPABILITY AUTH=XOAUTH2 SASL-IR] AUTH=OAUTHBEARER\r\n",
         false, false, false, SaslMechanism::none},
        // runs of blanks, and a last line without its end
        {"* CAPABILITY  IMAP4rev1   AUTH=XOAUTH2  SASL-IR", false, true, true,
         SaslMechanism::xoauth2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        SaslOffer offer = imapSaslOffer(c.answer);
        EXPECT_EQ(offer.oauthBearer, c.bearer);
        EXPECT_EQ(offer.xoauth2, c.xoauth2);
        EXPECT_EQ(offer.initialResponse, c.initial);
        EXPECT_EQ(chooseOAuthMechanism(offer), c.chosen);
    }
}

TEST(SaslOffer, Pop3CapaSaslLine) {
    struct Case {
        std::string capa;
        SaslMechanism chosen;
    } cases[] = {
        {"+OK\r\nCAPA\r\nTOP\r\nUIDL\r\nRESP-CODES\r\nUSER\r\nSASL PLAIN LOGIN OAUTHBEARER "
         "XOAUTH2\r\n.\r\n",
         SaslMechanism::oauthBearer},
        {"+OK\r\nsasl plain xoauth2\r\n.\r\n", SaslMechanism::xoauth2},
        {"+OK\r\nSASL PLAIN\r\nUSER\r\n.\r\n", SaslMechanism::none},
        {"+OK\r\nSASLX XOAUTH2\r\nX-OAUTHBEARER\r\n.\r\n", SaslMechanism::none},
        {"-ERR no CAPA\r\n", SaslMechanism::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capa);
        SaslOffer offer = pop3SaslOffer(c.capa);
        EXPECT_EQ(chooseOAuthMechanism(offer), c.chosen);
        EXPECT_TRUE(offer.initialResponse);
    }
    EXPECT_EQ(saslMechanismName(SaslMechanism::oauthBearer), "OAUTHBEARER");
    EXPECT_EQ(saslMechanismName(SaslMechanism::xoauth2), "XOAUTH2");
    EXPECT_EQ(oauthErrorReply(SaslMechanism::oauthBearer), "AQ==");  // a lone ^A
    EXPECT_EQ(oauthErrorReply(SaslMechanism::xoauth2), "");
}

TEST(SaslRefusal, PassingTroubleOfTheServerKeepsThePassword) {
    struct Case {
        std::string line;
        bool passing;
    } cases[] = {
        {"A0002 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", false},
        {"A0002 NO [UNAVAILABLE] Temporary authentication failure.\r\n", true},
        {"A0002 no [unavailable] try later\r\n", true},
        {"-ERR [AUTH] Authentication failed.\r\n", false},
        {"-ERR [SYS/TEMP] Temporary authentication failure.\r\n", true},
        {"-ERR [IN-USE] Mailbox locked\r\n", true},
        {"-ERR [SYS/PERM] broken\r\n", true},
        {"-ERR wrong\r\n", false},
        {"-ERR UNAVAILABLE without brackets\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(isPassingRefusal(c.line), c.passing);
    }
}

TEST(SecretText, GrowsMovesAndClears) {
    SecretText text{"abc"};
    for (int i = 0; i < 50; ++i) text.append("defgh");
    EXPECT_EQ(text.size(), 253u);
    EXPECT_EQ(text.view().substr(0, 8), "abcdefgh");
    SecretText moved = std::move(text);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(moved.size(), 253u);
    moved = SecretText{"x"};
    EXPECT_EQ(moved.view(), "x");
    moved.clear();
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(moved.view(), "");
}
