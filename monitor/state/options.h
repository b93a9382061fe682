#pragma once
// The monitor's settings and the one option table that ties them to their
// command-line letters and rc-file keys.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/version.h"

// A text setting, or none. A reload in the scheduler thread may set one
// while the main thread reads it, so every access goes through the lock.
class TextSetting {
public:
    std::optional<std::string> get() const;
    bool isSet() const;
    // Stores a copy of the value only when the setting holds no text yet.
    void setIfNone(std::string_view value);
    void reset(std::optional<std::string> value = std::nullopt);

private:
    mutable std::mutex lock;
    std::optional<std::string> value;
};

using DefinitionList = std::vector<std::string>;

// Settings, under their own names in a namespace of their own so that no
// local name hides one. Integers are atomics: the scheduler thread rewrites
// them on an rc reload while the main thread reads them. The texts and the
// definition list are never destroyed, since detached threads may still read
// them while the process exits.
namespace settings {
extern std::atomic<int32_t> windowed;
extern std::atomic<int32_t> brokenWM;
extern std::atomic<int32_t> backlight;
extern std::atomic<int32_t> blink;
extern std::atomic<int32_t> runOnce;
extern std::atomic<int32_t> checkSize;
extern std::atomic<int32_t> useThreads;
extern std::atomic<int32_t> selectedBox;
extern std::atomic<uint32_t> interval;
extern std::atomic<int64_t> checkDelay;
extern TextSetting& displayName;
extern TextSetting& color;
extern TextSetting& command;
extern TextSetting& notify;
extern TextSetting& rcFilePath;
extern DefinitionList& boxDefinitions;
// Keys of the rc file alone.
extern std::atomic<int32_t> push;     // Push: watch the stores and IDLE on IMAP
extern TextSetting& passwordCommand;  // PasswordCommand: prints a box's password
extern TextSetting& tokenCommand;     // TokenCommand: prints a box's OAuth2 token
}  // namespace settings

enum class OptionKind : int32_t {
    help = -1,
    version = -2,
    integer = 2,
    boolean = 3,
    text = 7,
    definitionList = 8,
};

using OptionTarget = std::variant<std::monostate, std::atomic<int32_t>*, std::atomic<uint32_t>*,
                                  std::atomic<int64_t>*, TextSetting*, DefinitionList*>;

struct Option {
    std::optional<char> letter;  // none: a key of the rc file alone, not on the command line
    const char* argLabel = nullptr;
    std::optional<std::string_view> key;  // none: the command line alone
    OptionKind kind = OptionKind::help;
    OptionTarget target;
    int32_t given = 0;
    const char* help = "";
    // The setting's value before the command line and the rc file, read as
    // theirs are; none for no value at all.
    std::optional<std::string_view> defaultValue;
};

// Program identity.
inline constexpr const char* applicationName = "Quorvik";
inline constexpr const char* programName = "quorvik";
inline constexpr const char* programVersion = releaseVersion;
inline constexpr const char* programDate = releaseDate;
inline constexpr const char* authorLine = "the quorvik developers";

// The table, in the order of the usage text.
std::span<Option> optionTable();

// Puts every setting back to its default and clears every row's `given`.
// The settings hold their defaults from the start.
void resetSettings();

// Where a line of the rc file stands, as the messages about it end: "In
// FILE at line N."
std::string rcLinePlace(std::string_view path, int line);

// `place`, when given, ends the message about a word that is no boolean.
int toBoolean(std::string_view word, std::string_view place = {});
// `place`: the rc line the value comes from, for the messages about it.
int assignOption(Option& row, std::optional<std::string_view> value, int force,
                 std::string_view place = {});
void scanCommandLine(std::span<Option> table, int argc, char** argv);
[[noreturn]] void printUsage();
void printVersion();
