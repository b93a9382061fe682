#include "monitor/state/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/numbers.h"
#include "common/rcschema.h"
#include "common/text.h"
#include "monitor/state/boxes.h"

std::optional<std::string> TextSetting::get() const {
    std::lock_guard guard(lock);
    return value;
}

bool TextSetting::isSet() const {
    std::lock_guard guard(lock);
    return value.has_value();
}

void TextSetting::setIfNone(std::string_view text) {
    std::lock_guard guard(lock);
    if (!value) value = std::string(text);
}

void TextSetting::reset(std::optional<std::string> text) {
    std::lock_guard guard(lock);
    value = std::move(text);
}

namespace settings {
// Each starts at its default from the option table (resetSettings, below).
std::atomic<int32_t> windowed;
std::atomic<int32_t> brokenWM;
std::atomic<int32_t> backlight;
std::atomic<int32_t> blink;
std::atomic<int32_t> runOnce;
std::atomic<int32_t> checkSize;
std::atomic<int32_t> useThreads;
std::atomic<int32_t> selectedBox;
std::atomic<uint32_t> interval;
std::atomic<int64_t> checkDelay;
TextSetting& displayName = *new TextSetting;
TextSetting& color = *new TextSetting;
TextSetting& command = *new TextSetting;
TextSetting& notify = *new TextSetting;
TextSetting& rcFilePath = *new TextSetting;
DefinitionList& boxDefinitions = *new DefinitionList;
std::atomic<int32_t> push;
TextSetting& passwordCommand = *new TextSetting;
TextSetting& tokenCommand = *new TextSetting;
}  // namespace settings

using namespace settings;  // the table names every setting

namespace {

constexpr OptionKind kindOf(RcType type) {
    switch (type) {
    case RcType::boolean:
        return OptionKind::boolean;
    case RcType::integer:
        return OptionKind::integer;
    case RcType::text:
        return OptionKind::text;
    case RcType::definition:
        break;
    }
    return OptionKind::definitionList;
}

// A row of the command line alone.
Option commandLineRow(char letter, const char* argLabel, OptionKind kind, OptionTarget target,
                      std::optional<std::string_view> defaultValue, const char* help) {
    return {.letter = letter,
            .argLabel = argLabel,
            .key = std::nullopt,
            .kind = kind,
            .target = target,
            .help = help,
            .defaultValue = defaultValue};
}

// A row of an rc key: its letter, kind and default are the rc schema's.
Option keyRow(const RcKey& key, const char* argLabel, OptionTarget target, const char* help) {
    return {.letter = key.letter,
            .argLabel = argLabel,
            .key = key.key,
            .kind = kindOf(key.type),
            .target = target,
            .help = help,
            .defaultValue = key.defaultValue};
}

Option table[] = {
    commandLineRow('h', nullptr, OptionKind::help, {}, std::nullopt, "this help"),
    commandLineRow('v', nullptr, OptionKind::version, {}, std::nullopt, "version"),
    commandLineRow('w', nullptr, OptionKind::boolean, &windowed, "off", "run in windowed mode"),
    commandLineRow('k', nullptr, OptionKind::boolean, &brokenWM, "off", "broken WM mode"),
    keyRow(rcKeyNamed("Backlight"), nullptr, &backlight, "set backlight"),
    keyRow(rcKeyNamed("Blink"), nullptr, &blink, "disable blinking"),
    keyRow(rcKeyNamed("RunOnce"), nullptr, &runOnce, "notify only once"),
    keyRow(rcKeyNamed("CheckSize"), nullptr, &checkSize, "check boxes size instead of time"),
    keyRow(rcKeyNamed("UseThreads"), nullptr, &useThreads, "don't use threads"),
    commandLineRow('d', "<display>", OptionKind::text, &displayName, std::nullopt, "set display"),
    keyRow(rcKeyNamed("Color"), "<color>", &color, "set light color"),
    keyRow(rcKeyNamed("Command"), "<command>", &command, "command to launch with button 2"),
    keyRow(rcKeyNamed("Notify"), "<command>", &notify, "command to notify new mail arrival"),
    commandLineRow('f', "<file>", OptionKind::text, &rcFilePath, std::nullopt,
                   "load configuration file"),
    keyRow(rcKeyNamed("Interval"), "<secs>", &interval, "refresh interval"),
    keyRow(rcKeyNamed("DefaultBox"), "<box-num>", &selectedBox, "box to open directly"),
    keyRow(rcKeyNamed("CheckDelay"), "<delay>", &checkDelay, "network boxes check frequency"),
    keyRow(rcKeyNamed("Mailbox"), "<box-def>", &boxDefinitions,
           "mail box definition between double-quotes (see manpage)"),
    keyRow(rcKeyNamed("Push"), nullptr, &push, "show new mail at once"),
    keyRow(rcKeyNamed("PasswordCommand"), nullptr, &passwordCommand,
           "command printing the password of a box without one"),
    keyRow(rcKeyNamed("TokenCommand"), nullptr, &tokenCommand,
           "command printing the OAuth2 token of a box without a password"),
};

struct AssignValue {
    std::string_view value;
    std::string_view place;

    bool operator()(std::monostate) const { return false; }
    bool operator()(std::atomic<int32_t>* target) const {
        target->store(leadingInteger(value));
        return true;
    }
    // A negative interval becomes 0, which the rebuild raises to 1 with its
    // warning, instead of an enormous unsigned wait.
    bool operator()(std::atomic<uint32_t>* target) const {
        int32_t number = leadingInteger(value);
        target->store(number < 0 ? 0u : static_cast<uint32_t>(number));
        return true;
    }
    bool operator()(std::atomic<int64_t>* target) const {
        target->store(leadingInteger(value));
        return true;
    }
    bool operator()(TextSetting* target) const {
        target->setIfNone(value);
        return true;
    }
    bool operator()(DefinitionList* target) const {
        addDefinition(*target, value);
        if (!place.empty()) noteDefinitionPlace(value, place);
        return true;
    }
};

std::atomic<int32_t>* flagTarget(const Option& row) {
    auto* flag = std::get_if<std::atomic<int32_t>*>(&row.target);
    return flag ? *flag : nullptr;
}

struct ClearTarget {
    void operator()(std::monostate) const {}
    template <typename Number>
    void operator()(std::atomic<Number>* target) const {
        target->store(0);
    }
    void operator()(TextSetting* target) const { target->reset(); }
    void operator()(DefinitionList* target) const { target->clear(); }
};

// Before main runs, every setting holds its default.
[[maybe_unused]] const bool defaultsInForce = (resetSettings(), true);

}  // namespace

std::span<Option> optionTable() { return table; }

void resetSettings() {
    for (Option& row : table) {
        std::visit(ClearTarget{}, row.target);
        // Through the parser of the user's values: a default is written as theirs.
        if (row.defaultValue) assignOption(row, *row.defaultValue, 1);
        row.given = 0;
    }
}

std::string rcLinePlace(std::string_view path, int line) {
    return "In " + std::string(path) + " at line " + std::to_string(line) + ".";
}

int toBoolean(std::string_view word, std::string_view place) {
    static constexpr struct {
        const char* word;
        int value;
    } words[] = {{"1", 1},   {"0", 0},  {"true", 1}, {"false", 0},
                 {"yes", 1}, {"no", 0}, {"on", 1},   {"off", 0}};
    for (const auto& entry : words)
        if (equalsNoCase(word, entry.word)) return entry.value;
    std::fprintf(stderr, "Error converting \"%.*s\" to boolean value.%s%.*s\n",
                 static_cast<int>(word.size()), word.data(), place.empty() ? "" : " ",
                 static_cast<int>(place.size()), place.data());
    return 0;
}

int assignOption(Option& row, std::optional<std::string_view> value, int force,
                 std::string_view place) {
    if (row.given == 1 && force == 0 && row.kind != OptionKind::definitionList) return 1;
    if (!value || value->empty()) {
        if (row.kind != OptionKind::boolean) return 0;
        if (auto* flag = flagTarget(row)) flag->store(flag->load() == 0 ? 1 : 0);
        row.given = 1;
        return 1;
    }
    switch (row.kind) {
    case OptionKind::help:
    case OptionKind::version:
        return 0;
    case OptionKind::boolean:
        if (auto* flag = flagTarget(row)) flag->store(toBoolean(*value, place));
        break;
    case OptionKind::integer:
    case OptionKind::text:
    case OptionKind::definitionList:
        if (!std::visit(AssignValue{*value, place}, row.target)) return 0;
        break;
    }
    row.given = 1;
    return 1;
}

void printVersion() {
    std::printf("%s version %s - %s %s\n", applicationName, programVersion, authorLine,
                programDate);
}

void printUsage() {
    printVersion();
    std::printf("Usage: %s ", programName);
    const Option* last = nullptr;
    for (const Option& row : table)
        if (row.letter) last = &row;
    for (const Option& row : table) {
        if (!row.letter) continue;
        std::printf("[-%c%s%s]%c", *row.letter, row.argLabel ? " " : "",
                    row.argLabel ? row.argLabel : "", &row == last ? '\n' : ' ');
    }
    std::printf(" Options :\n");
    for (const Option& row : table) {
        if (!row.letter) continue;
        const char* label = row.argLabel ? row.argLabel : "";
        std::printf("   -%c %s%s\t : %s\n", *row.letter, label, std::strlen(label) < 2 ? "\t" : "",
                    row.help);
    }
    std::printf("\n");
    std::fflush(stdout);
    std::exit(0);
}

void scanCommandLine(std::span<Option> rows, int argc, char** argv) {
    for (int at = 1; at < argc; ++at) {
        const char* argument = argv[at];
        Option* row = nullptr;
        if (argument[0] == '-') {
            for (Option& candidate : rows) {
                if (candidate.letter == argument[1]) {
                    row = &candidate;
                    break;
                }
            }
        }
        if (row == nullptr) {
            std::fprintf(stderr, "%s: unknown option [%s]\n", programName, argument);
            continue;
        }
        std::optional<std::string_view> value;
        switch (row->kind) {
        case OptionKind::help:
            printUsage();
        case OptionKind::version:
            printVersion();
            std::fflush(stdout);
            std::exit(0);
        case OptionKind::boolean:
            break;
        default:
            if (at + 1 < argc) value = argv[++at];
            break;
        }
        if (assignOption(*row, value, 0) == 0) printUsage();
    }
}
