#include "monitor/headers/headertext.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "monitor/headers/decodermodule.h"

namespace {

// The decoding module's functions, found when a header first needs them; all
// null when it cannot be loaded, and the texts are then shown undecoded.
struct Decoder {
    DecodeTextFunction decodeText = nullptr;
    ParseSenderFunction parseSender = nullptr;
    FreeTextFunction freeText = nullptr;
    bool loaded() const { return decodeText && parseSender && freeText; }
};

// Its calls are made one at a time: GMime's charset converters sit in a cache
// that it shares between callers.
std::mutex decoderLock;

const Decoder& decoder() {
    static Decoder found;
    static std::once_flag once;
    std::call_once(once, [] {
        // Never unloaded: GLib cannot be.
        void* module = ::dlopen(decoderModuleName, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (module != nullptr) {
            found.decodeText =
                reinterpret_cast<DecodeTextFunction>(::dlsym(module, decodeTextSymbol));
            found.parseSender =
                reinterpret_cast<ParseSenderFunction>(::dlsym(module, parseSenderSymbol));
            found.freeText = reinterpret_cast<FreeTextFunction>(::dlsym(module, freeTextSymbol));
        }
        if (!found.loaded()) {
            const char* why = ::dlerror();
            std::cerr << "quorvik warning : cannot load " << decoderModuleName << " ("
                      << (why != nullptr ? why : "incomplete")
                      << "), senders and subjects are told undecoded" << std::endl;
            found = {};
        }
    });
    return found;
}

// A text of the module's, freed by it.
struct ModuleText {
    char* text = nullptr;
    ModuleText() = default;
    explicit ModuleText(char* owned) : text(owned) {}
    ModuleText(const ModuleText&) = delete;
    ModuleText& operator=(const ModuleText&) = delete;
    ~ModuleText() {
        if (text != nullptr) decoder().freeText(text);
    }
    std::string value() const { return text != nullptr ? text : ""; }
};

bool isAscii7(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 128; });
}

// GMime reads C strings: a NUL inside the field would end it early.
std::string withoutNul(std::string_view raw) {
    std::string text(raw);
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

bool isBase64Byte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

// GMime joins adjacent encoded words of one charset before it decodes them,
// so that a character split between two words comes out whole; but a base64
// word that ends in padding then stops the decoding, and what follows it is
// lost ("=?UTF-8?B?SGk=?= =?UTF-8?B?VGhlcmU=?=" gives "Hi"). Such a text is
// cut after each padded word followed by another word, and the pieces are
// decoded apart; the blanks between them go, as between any two words.
std::vector<std::string> splitAfterPaddedWords(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    std::size_t at = 0;
    while ((at = text.find("=?=", at)) != std::string::npos) {
        std::size_t end = at + 3;
        std::size_t next = end;
        while (next < text.size() && (text[next] == ' ' || text[next] == '\t')) ++next;
        std::size_t payload = at;
        while (payload > start && isBase64Byte(text[payload - 1])) --payload;
        bool padded = payload >= start + 3 && text[payload - 1] == '?' &&
                      (text[payload - 2] == 'B' || text[payload - 2] == 'b') &&
                      text[payload - 3] == '?';
        if (padded && text.compare(next, 2, "=?") == 0) {
            pieces.push_back(text.substr(start, end - start));
            start = next;
        }
        at = end;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string moduleDecodeText(const std::string& text) {
    std::string decoded;
    for (const std::string& piece : splitAfterPaddedWords(text))
        decoded += ModuleText(decoder().decodeText(piece.c_str())).value();
    return decoded;
}

// The code point at `at` and its length, or none (0 length) for a byte that
// starts no valid UTF-8 sequence: overlong forms and surrogates included.
struct CodePoint {
    char32_t value = 0;
    std::size_t length = 0;
};

CodePoint nextCodePoint(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) return {};
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {};
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return {};
    return {value, length};
}

bool isLineBreakOrBlank(char32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// C0 and C1 controls, DEL, and the marks that reorder the text around them
// (a name shown backwards).
bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

std::string cleanHeaderText(std::string_view text) {
    std::string out;
    std::size_t characters = 0;
    bool blankPending = false;
    std::size_t at = 0;
    while (at < text.size() && characters < headerTextLimit) {
        CodePoint point = nextCodePoint(text, at);
        char32_t c = point.length == 0 ? 0xFFFD : point.value;
        at += std::max<std::size_t>(point.length, 1);
        if (isLineBreakOrBlank(c)) {
            blankPending = !out.empty();
            continue;
        }
        if (isControl(c)) continue;
        if (blankPending) {
            out.push_back(' ');
            ++characters;
            blankPending = false;
            if (characters == headerTextLimit) break;
        }
        appendUtf8(out, c);
        ++characters;
    }
    return out;
}

std::string decodeHeaderText(std::string_view raw) {
    // Plain ASCII without an encoded word needs no decoding: the usual case.
    if (isAscii7(raw) && raw.find("=?") == std::string_view::npos) return cleanHeaderText(raw);
    if (!decoder().loaded()) return cleanHeaderText(raw);
    std::string text = withoutNul(raw);
    std::lock_guard guard(decoderLock);
    return cleanHeaderText(moduleDecodeText(text));
}

std::string decodeSender(std::string_view raw) {
    if (!decoder().loaded()) return cleanHeaderText(raw);
    std::string text = withoutNul(raw);
    std::string name, address;
    {
        std::lock_guard guard(decoderLock);
        ModuleText shown, mailbox;
        if (decoder().parseSender(text.c_str(), &shown.text, &mailbox.text)) {
            name = shown.value();
            address = mailbox.value();
        }
    }
    name = cleanHeaderText(name);
    address = cleanHeaderText(address);
    if (name.empty() && address.empty()) return decodeHeaderText(raw);
    if (name.empty()) return address;
    if (address.empty()) return name;
    return cleanHeaderText(name + " <" + address + ">");
}
