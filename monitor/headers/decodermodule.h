#pragma once
// What the decoding module (decodermodule.cpp, built as quorvik-headers.so)
// offers the program. GMime and GLib cost the idle monitor about 3 MB of
// mapped libraries and their start-up allocations, so they are loaded only
// when a header first needs them. Plain C, so that the two sides meet by
// name alone; every text returned is the module's to free.

extern "C" {

// The name under which the program looks for the module, through its run path.
inline constexpr const char* decoderModuleName = "quorvik-headers.so";

// An unstructured header text with its RFC 2047 encoded words decoded to
// UTF-8; null when it cannot be decoded.
using DecodeTextFunction = char* (*)(const char* text);
inline constexpr const char* decodeTextSymbol = "quorvik_decode_text";

// The display name and address of the first sender of an address list
// (either null when absent); false when the list holds no address.
using ParseSenderFunction = bool (*)(const char* text, char** name, char** address);
inline constexpr const char* parseSenderSymbol = "quorvik_parse_sender";

using FreeTextFunction = void (*)(char* text);
inline constexpr const char* freeTextSymbol = "quorvik_free_text";
}
