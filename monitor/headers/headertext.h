#pragma once
// Header texts come from whoever sent the mail. They are decoded from RFC 2047
// encoded words and their charsets into UTF-8, then cleaned so that they can
// be shown or handed to a command: valid UTF-8, no control characters, one
// line, at most headerTextLimit characters.

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t headerTextLimit = 200;

// A Subject (or any unstructured header text), its folded lines joined.
std::string decodeHeaderText(std::string_view raw);

// A From: the first sender as "Name <address>", or the address alone when it
// has no name; an unparsable field is decoded as text.
std::string decodeSender(std::string_view raw);

// The cleaning alone, for text that is already decoded: invalid UTF-8 becomes
// U+FFFD, control characters (the bidirectional overrides too) go, line ends
// and runs of white space become one space, the ends are trimmed, and the
// text is cut after headerTextLimit characters.
std::string cleanHeaderText(std::string_view text);
