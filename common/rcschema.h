#pragma once
// The keys of the rc file, as both programs know them: each key's name, the
// monitor's command-line letter for it, the type of its value and its
// default. The monitor's option table and the editor's reader and writer
// take them from here; each program keeps its own parser, and the defaults
// go through it as a user's value would.

#include <iterator>
#include <optional>
#include <string_view>

enum class RcType {
    boolean,     // a boolean word: 1 0 true false yes no on off
    integer,     // a decimal number
    text,        // the value as written
    definition,  // a box definition; each line adds one
};

struct RcKey {
    std::string_view key;
    std::optional<char> letter;  // none: a key of the rc file alone
    RcType type;
    // Written as a user would write it; none where the setting starts with
    // no value at all (no text, no box).
    std::optional<std::string_view> defaultValue;
};

// In the order the editor writes them; Mailbox, whose lines end its file,
// last. No key begins another, so a line belongs to one key at most.
inline constexpr RcKey rcSchema[] = {
    {"Backlight", 'b', RcType::boolean, "off"},
    {"Color", 'c', RcType::text, std::nullopt},
    {"CheckSize", 'z', RcType::boolean, "off"},
    {"Interval", 'i', RcType::integer, "1"},
    {"Command", 'x', RcType::text, std::nullopt},
    {"Notify", 'n', RcType::text, std::nullopt},
    {"Blink", 's', RcType::boolean, "on"},
    {"DefaultBox", 'o', RcType::integer, "0"},
    {"CheckDelay", 'l', RcType::integer, "30"},
    {"RunOnce", 'r', RcType::boolean, "off"},
    {"UseThreads", 't', RcType::boolean, "on"},
    {"Push", std::nullopt, RcType::boolean, "on"},
    {"PasswordCommand", std::nullopt, RcType::text, std::nullopt},
    {"TokenCommand", std::nullopt, RcType::text, std::nullopt},
    {"Mailbox", 'm', RcType::definition, std::nullopt},
};

// The row of a key, found while the program is compiled: a key that is not
// in the table does not build.
consteval const RcKey& rcKeyNamed(std::string_view key) {
    for (const RcKey& row : rcSchema)
        if (row.key == key) return row;
    throw "no such key in the rc schema";
}

static_assert(
    [] {
        for (const RcKey& row : rcSchema)
            for (const RcKey& other : rcSchema)
                if (&row != &other && other.key.starts_with(row.key)) return false;
        return true;
    }(),
    "a line of the rc file would belong to two keys");
static_assert(rcSchema[std::size(rcSchema) - 1].type == RcType::definition,
              "the Mailbox lines end the editor's file");
