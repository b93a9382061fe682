#pragma once
// The POP3 client (POP3 and HOTMAIL boxes): one dialogue, made and dropped
// within one check.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/headers/headerfields.h"
#include "monitor/net/connection.h"
#include "monitor/net/signin.h"

// A reply is kept in 1023 bytes and a terminating zero.
inline constexpr std::size_t pop3ReplySize = 1024;
using Pop3Reply = std::array<char, pop3ReplySize>;

// One connection, made and dropped within one check.
struct Pop3Conn {
    Connection connection;
    int newCount = 0;
    int totalCount = 0;
};

std::unique_ptr<Pop3Conn> pop3New();
int pop3Connect(Pop3Conn& conn, const std::string& host, int port);
// A missing user name or password is sent as the empty text.
int pop3Login(Pop3Conn& conn, const std::optional<std::string>& user,
              const std::optional<std::string>& password);
// Signs the account in with the credential `ask` chooses: with AUTH and a
// token, or USER and PASS and a password; then tells `ask` the verdict.
int pop3SignIn(Pop3Conn& conn, const NetAccount& account, const CredentialAsk& ask);
int pop3Recv(Pop3Conn& conn, Pop3Reply& reply);
int pop3Stat(Pop3Conn& conn);
int pop3GetNew(const Pop3Conn* conn);
int pop3GetTotal(const Pop3Conn* conn);
int pop3Quit(Pop3Conn& conn);
void pop3Free(std::unique_ptr<Pop3Conn>& place);

// Reply parsing, apart from the I/O.

// The length of the first line of what has been received, its line end
// included, or 0 while no line end has come.
std::size_t pop3LineLength(std::string_view received);
// The second blank-separated field of a reply read as a decimal number (an
// optional sign and the leading digits), 0 when there is none, clamped to
// 32 bits.
int32_t pop3ReplyNumber(std::string_view reply);

// A multi-line reply (CAPA, TOP) while it arrives: it ends with its first
// line when that is negative, else with a line made of a lone ".". Its first
// 1023 bytes are kept; the rest is read and dropped.
struct Pop3ListState {
    std::string kept;
    std::string line;  // the line arriving, its first 1023 bytes
    bool first = true;
    bool ended = false;
    // When set, takes the lines after the status line instead of keeping
    // them: each with its dot-stuffing undone and ending in a line feed.
    std::function<void(std::string_view)> takeLine;
};
void pop3ListFeed(Pop3ListState& state, std::string_view bytes);

// The sender and subject of a message, from its header block (TOP n 0);
// empty when the server gives none.
MessageSummary pop3Top(Pop3Conn& conn, int32_t message);
