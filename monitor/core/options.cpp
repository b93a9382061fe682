#include "monitor/core/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/numbers.h"
#include "common/text.h"
#include "monitor/core/boxes.h"

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
std::atomic<int32_t> windowed{0};
std::atomic<int32_t> brokenWM{0};
std::atomic<int32_t> backlight{0};
std::atomic<int32_t> blink{1};
std::atomic<int32_t> runOnce{0};
std::atomic<int32_t> checkSize{0};
std::atomic<int32_t> useThreads{1};
std::atomic<int32_t> selectedBox{0};
std::atomic<uint32_t> interval{1};
std::atomic<int64_t> checkDelay{30};
TextSetting& displayName = *new TextSetting;
TextSetting& color = *new TextSetting;
TextSetting& command = *new TextSetting;
TextSetting& notify = *new TextSetting;
TextSetting& rcFilePath = *new TextSetting;
DefinitionList& boxDefinitions = *new DefinitionList;
std::atomic<int32_t> push{1};
TextSetting& passwordCommand = *new TextSetting;
TextSetting& tokenCommand = *new TextSetting;
}  // namespace settings

using namespace settings;  // the table and the reset name every setting

namespace {

Option table[] = {
    {'h', nullptr, nullptr, OptionKind::help, {}, 0, "this help"},
    {'v', nullptr, nullptr, OptionKind::version, {}, 0, "version"},
    {'w', nullptr, nullptr, OptionKind::boolean, &windowed, 0, "run in windowed mode"},
    {'k', nullptr, nullptr, OptionKind::boolean, &brokenWM, 0, "broken WM mode"},
    {'b', nullptr, "Backlight", OptionKind::boolean, &backlight, 0, "set backlight"},
    {'s', nullptr, "Blink", OptionKind::boolean, &blink, 0, "disable blinking"},
    {'r', nullptr, "RunOnce", OptionKind::boolean, &runOnce, 0, "notify only once"},
    {'z', nullptr, "CheckSize", OptionKind::boolean, &checkSize, 0,
     "check boxes size instead of time"},
    {'t', nullptr, "UseThreads", OptionKind::boolean, &useThreads, 0, "don't use threads"},
    {'d', "<display>", nullptr, OptionKind::text, &displayName, 0, "set display"},
    {'c', "<color>", "Color", OptionKind::text, &color, 0, "set light color"},
    {'x', "<command>", "Command", OptionKind::text, &command, 0, "command to launch with button 2"},
    {'n', "<command>", "Notify", OptionKind::text, &notify, 0,
     "command to notify new mail arrival"},
    {'f', "<file>", nullptr, OptionKind::text, &rcFilePath, 0, "load configuration file"},
    {'i', "<secs>", "Interval", OptionKind::integer, &interval, 0, "refresh interval"},
    {'o', "<box-num>", "DefaultBox", OptionKind::integer, &selectedBox, 0, "box to open directly"},
    {'l', "<delay>", "CheckDelay", OptionKind::integer, &checkDelay, 0,
     "network boxes check frequency"},
    {'m', "<box-def>", "Mailbox", OptionKind::definitionList, &boxDefinitions, 0,
     "mail box definition between double-quotes (see manpage)"},
    {'\1', nullptr, "Push", OptionKind::boolean, &push, 0, "show new mail at once", true},
    {'\2', nullptr, "PasswordCommand", OptionKind::text, &passwordCommand, 0,
     "command printing the password of a box without one", true},
    {'\3', nullptr, "TokenCommand", OptionKind::text, &tokenCommand, 0,
     "command printing the OAuth2 token of a box without a password", true},
    {0, nullptr, nullptr, OptionKind::help, {}, 0, ""},
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

}  // namespace

Option* optionTable() { return table; }

void resetSettings() {
    windowed = 0;
    brokenWM = 0;
    backlight = 0;
    blink = 1;
    runOnce = 0;
    checkSize = 0;
    useThreads = 1;
    selectedBox = 0;
    interval = 1;
    checkDelay = 30;
    push = 1;
    for (TextSetting* text :
         {&displayName, &color, &command, &notify, &rcFilePath, &passwordCommand, &tokenCommand})
        text->reset();
    boxDefinitions.clear();
    for (Option* row = table; row->letter != 0; ++row) row->given = 0;
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
    const Option* last = table;
    for (const Option* row = table; row->letter != 0; ++row)
        if (!row->rcOnly) last = row;
    for (const Option* row = table; row->letter != 0; ++row) {
        if (row->rcOnly) continue;
        std::printf("[-%c%s%s]%c", row->letter, row->argLabel ? " " : "",
                    row->argLabel ? row->argLabel : "", row == last ? '\n' : ' ');
    }
    std::printf(" Options :\n");
    for (const Option* row = table; row->letter != 0; ++row) {
        if (row->rcOnly) continue;
        const char* label = row->argLabel ? row->argLabel : "";
        std::printf("   -%c %s%s\t : %s\n", row->letter, label, std::strlen(label) < 2 ? "\t" : "",
                    row->help);
    }
    std::printf("\n");
    std::fflush(stdout);
    std::exit(0);
}

void scanCommandLine(Option* rows, int argc, char** argv) {
    for (int at = 1; at < argc; ++at) {
        const char* argument = argv[at];
        Option* row = nullptr;
        if (argument[0] == '-') {
            for (Option* candidate = rows; candidate->letter != 0; ++candidate) {
                if (candidate->letter == argument[1] && !candidate->rcOnly) {
                    row = candidate;
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
