#pragma once
// The servers met over TLS, remembered by host and port in the user's
// ~/.quorvik-servers as ssh remembers hosts, so that an impostor gets no
// password. A certificate that verifies is always taken. One that does not
// is taken the first time a server shows it, and from then on only while the
// server keeps showing that one; never from a server whose certificate once
// verified. A server once met over TLS must not be signed in to without it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/net/tls.h"

struct KnownServer {
    std::string server;     // knownServerName of its host and port
    bool verified = false;  // "verified" in the file, "pinned" otherwise
    std::string fingerprint;
};

// Reading and writing the file's lines, apart from the file.

// "host:port" with the host in lower case, "[address]:port" for an IPv6
// address.
std::string knownServerName(std::string_view host, int port);

enum class ServerLine { blank, server, bad };  // blank: also a comment
struct ParsedServerLine {
    ServerLine kind = ServerLine::blank;
    KnownServer server;
};
// One line, without its line end: "SERVER verified|pinned FINGERPRINT".
ParsedServerLine parseKnownServerLine(std::string_view line);
std::string formatKnownServerLine(const KnownServer& server);

enum class Meeting {
    known,       // as remembered: go on
    learned,     // first met, or verified now: remember it and go on
    changed,     // an unverifiable certificate other than the remembered one
    unverified,  // an unverifiable certificate from a server that verified once
};
Meeting judgeMeeting(const std::optional<KnownServer>& remembered, const TlsPeer& peer);

// With the file, which is re-read whenever it has changed. Its problems are
// reported once each and never stop a check.

// The file: the home directory and ".quorvik-servers".
std::string knownServersPath();

// Judges the server that answered on a link, remembers it and warns as the
// meeting asks: true when credentials may go to it over the link.
bool knownServerAccepts(const std::string& server, const TlsPeer& peer);

// True, after a warning given once, when the server was met over TLS before:
// a dialogue that now offers no TLS must not sign in.
bool knownServerRefusesPlainText(const std::string& server);
