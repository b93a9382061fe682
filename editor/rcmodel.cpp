#include "editor/rcmodel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include "common/fd.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/rcschema.h"
#include "common/text.h"

namespace {

std::string saveFailure;  // the message of the last save that failed

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Removes the temporary file unless the rename has taken it.
class TemporaryPath {
public:
    explicit TemporaryPath(std::string name) : path(std::move(name)) {}
    TemporaryPath(const TemporaryPath&) = delete;
    TemporaryPath& operator=(const TemporaryPath&) = delete;
    ~TemporaryPath() {
        if (!path.empty()) unlink(path.c_str());
    }
    const std::string& get() const { return path; }
    void keep() { path.clear(); }

private:
    std::string path;
};

void reportUnopenable(const std::string& path) {
    std::fprintf(stderr, "Unable to open configuration file \"%s\".\n", path.c_str());
}

bool isDefaultPath(const std::string& path) {
    return path.find("/.quorvikrc") != std::string::npos;
}

// Where the record holds a key.
using NumberField = int EditorSettings::*;                    // a number, or a flag
using GivenFlagField = std::optional<int> EditorSettings::*;  // a flag kept only when given
using TextField = std::optional<std::string> EditorSettings::*;
using BoxesField = EntryList EditorSettings::*;
using Field = std::variant<NumberField, GivenFlagField, TextField, BoxesField>;

struct FlagWords {
    const char* on = nullptr;
    const char* off = nullptr;
};

// How the editor holds a key and writes it back.
struct KeyLayout {
    std::string_view key;
    Field field;
    std::string_view comment;      // the lines above the key in the written file
    FlagWords words{};             // a flag's words
    bool writtenWhenSet = false;   // a text stays out of the file while it holds none
    int writtenAtLeast = INT_MIN;  // a number written no lower than this
};

// One for each key; the rc schema gives their order in the file.
constexpr KeyLayout layouts[] = {
    {.key = "Backlight",
     .field = &EditorSettings::Backlight,
     .comment = "# Backlight : boolean\n# Default : Off\n",
     .words = {"On", "Off"}},
    {.key = "Color",
     .field = &EditorSettings::Color,
     .comment = "# Color : string (backlight color when backlight is ON)\n# Default : #6ec63b\n"},
    {.key = "CheckSize",
     .field = &EditorSettings::CheckSize,
     .comment = "# CheckSize : boolean (use files' size to check for new mails)\n"
                "# Default : False\n",
     .words = {"True", "False"}},
    {.key = "Interval",
     .field = &EditorSettings::Interval,
     .comment = "# Update interval : integer (seconds)\n# Default : 1\n"},
    {.key = "Command",
     .field = &EditorSettings::Command,
     .comment = "# Command : string (what to do with button 2)\n# Default : nothing\n"},
    {.key = "Notify",
     .field = &EditorSettings::Notify,
     .comment = "# Notify : string (what to do when new mail arrives)\n# Default : nothing\n"},
    {.key = "Blink",
     .field = &EditorSettings::Blink,
     .comment = "# Blinking enable : boolean\n# Default : yes\n",
     .words = {"Yes", "No"}},
    {.key = "DefaultBox",
     .field = &EditorSettings::DefaultBox,
     .comment = "# Default box to display : integer (not usefull for only 1 mailbox)\n"
                "# Default : 0 (all boxes)\n"},
    {.key = "CheckDelay",
     .field = &EditorSettings::CheckDelay,
     .comment = "# Delay between pop3/hotmail and imap checks : integer (in seconds)\n"
                "# Default : 30\n",
     .writtenAtLeast = 15},
    {.key = "RunOnce",
     .field = &EditorSettings::RunOnce,
     .comment = "# Run Notify-command only when switching from 0 new mail to >0\n"
                "# Default : False\n",
     .words = {"True", "False"}},
    {.key = "UseThreads",
     .field = &EditorSettings::UseThreads,
     .comment = "# UseThreads : boolean (check boxes in threads)\n# Default : True\n",
     .words = {"True", "False"}},
    {.key = "Push",
     .field = &EditorSettings::Push,
     .comment = "# Push : boolean (show new mail the moment it lands, without waiting for the "
                "next check)\n# Default : True\n",
     .words = {"True", "False"}},
    {.key = "PasswordCommand",
     .field = &EditorSettings::PasswordCommand,
     .comment = "# PasswordCommand : string (shell command printing the password of a network "
                "box without one)\n# Default : nothing\n",
     .writtenWhenSet = true},
    {.key = "TokenCommand",
     .field = &EditorSettings::TokenCommand,
     .comment = "# TokenCommand : string (shell command printing an OAuth2 access token, for a "
                "network box without a password)\n# Default : nothing\n",
     .writtenWhenSet = true},
    {.key = "Mailbox",
     .field = &EditorSettings::entryList,
     .comment = "# Mailbox : string of options (filename -- use as many as you have mailboxes)\n"
                "# Default : nothing\n"
                "# Format  : TYPE FILE-OR-URL [USERNAME] [PASSWORD] [FOLDER]\n"},
};

constexpr bool fits(const KeyLayout& layout, RcType type) {
    switch (type) {
    case RcType::boolean:
        return layout.words.on != nullptr && (std::holds_alternative<NumberField>(layout.field) ||
                                              std::holds_alternative<GivenFlagField>(layout.field));
    case RcType::integer:
        return std::holds_alternative<NumberField>(layout.field);
    case RcType::text:
        return std::holds_alternative<TextField>(layout.field);
    case RcType::definition:
        return std::holds_alternative<BoxesField>(layout.field);
    }
    return false;
}

static_assert(
    [] {
        for (const RcKey& row : rcSchema) {
            int found = 0;
            for (const KeyLayout& layout : layouts)
                if (layout.key == row.key && fits(layout, row.type)) ++found;
            if (found != 1) return false;
        }
        return std::size(layouts) == std::size(rcSchema);
    }(),
    "every key of the rc schema needs one layout here, with a field of its type");

constexpr const KeyLayout& layoutOf(const RcKey& row) {
    for (const KeyLayout& layout : layouts)
        if (layout.key == row.key) return layout;
    return layouts[0];  // never: every key has its layout
}

// Stores a value of a key as read from the file: a default too.
struct StoreValue {
    EditorSettings& s;
    RcType type;
    std::string& value;

    void operator()(NumberField field) const {
        s.*field = type == RcType::boolean ? parseBoolean(value) : leadingInteger(value);
    }
    void operator()(GivenFlagField field) const { s.*field = parseBoolean(value); }
    void operator()(TextField field) const { s.*field = std::move(value); }
    void operator()(BoxesField field) const { addBoxEntry(s.*field, value, MissingPath::keep); }
};

void storeValue(EditorSettings& s, const RcKey& row, std::string value) {
    std::visit(StoreValue{s, row.type, value}, layoutOf(row).field);
}

EditorSettings defaultSettings() {
    EditorSettings s;
    for (const RcKey& row : rcSchema) {
        // A flag kept only when the file gives it starts without a value.
        if (row.defaultValue && !std::holds_alternative<GivenFlagField>(layoutOf(row).field))
            storeValue(s, row, std::string(*row.defaultValue));
    }
    return s;
}

EditorSettings settings = defaultSettings();

void handleLine(const std::string& line, int lineNumber) {
    if (line.empty() || line[0] == '#') return;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) return;
    std::size_t start = line.find_first_not_of(' ', equals + 1);
    if (start == std::string::npos) return;
    for (const RcKey& row : rcSchema) {
        if (line.starts_with(row.key)) {
            storeValue(settings, row, line.substr(start));
            return;
        }
    }
    std::fprintf(stderr, "Error in %s at line %d :\n[%s].\n", settings.rcPath.c_str(), lineNumber,
                 line.c_str());
}

bool sameWords(const BoxEntry& entry, const std::vector<std::string>& words) {
    return entry.type == words[0] && entry.path == words[1] &&
           entry.user.value_or("") == words[2] && entry.password.value_or("") == words[3] &&
           entry.folder.value_or("") == words[4];
}

bool canOpenForReading(const std::string& path) {
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0;
}

// Appends a key as the fixed layout writes it: its comment lines, "#", then
// the setting and an empty line, or the boxes' lines; nothing for a key
// that stays out of the file.
struct AppendKey {
    std::string& text;
    const EditorSettings& s;
    const RcKey& row;
    const KeyLayout& layout;

    void setting(std::string_view value) const {
        text.append(layout.comment).append("#\n").append(row.key).append(" = ");
        text.append(value).append("\n\n");
    }
    void operator()(NumberField field) const {
        if (row.type == RcType::boolean)
            setting(s.*field ? layout.words.on : layout.words.off);
        else
            setting(std::to_string(std::max(s.*field, layout.writtenAtLeast)));
    }
    void operator()(GivenFlagField field) const {
        if (const std::optional<int>& flag = s.*field)
            setting(*flag ? layout.words.on : layout.words.off);
    }
    void operator()(TextField field) const {
        const std::optional<std::string>& value = s.*field;
        // Unset, such a key stays out, so that a file without it is saved as it was.
        if (layout.writtenWhenSet && (!value || value->empty())) return;
        setting(value.value_or(""));
    }
    void operator()(BoxesField field) const {
        text.append(layout.comment).append("#\n");
        auto word = [](const std::optional<std::string>& value) {
            return value ? " " + *value : std::string();
        };
        for (const BoxEntry& entry : s.*field)
            text += std::string(row.key) + " = " + entry.type + " " + entry.path +
                    word(entry.user) + word(entry.password) + word(entry.folder) + "\n";
    }
};

// The whole file in the fixed layout.
std::string layoutText() {
    std::string text =
        "# AUTOGENERATED configuration file for quorvik\n"
        "# empty lines or lines begining with # are ignored\n"
        "# booleans can take the next values : 0 1 true false yes no on off\n"
        "# and are case insensitive\n"
        "\n";
    for (const RcKey& row : rcSchema) {
        const KeyLayout& layout = layoutOf(row);
        std::visit(AppendKey{text, settings, row, layout}, layout.field);
    }
    return text;
}

// The file the rc path stands for: symbolic links are followed, also to a
// file not made yet, so that a linked rc file is updated instead of the link
// being replaced.
std::string targetPath(const std::string& path) { return followLinks(path); }

// Writes all of `text` from the current offset; 0 or the errno of the failure.
int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

// A new file beside the target, renamed over it: a reader sees the old file
// or the new one, never a part. 0 or the errno of the step that failed.
int replaceAtomically(const std::string& target, const std::string& text, const struct stat* old) {
    std::size_t slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    // Beside the target, so that the rename stays within one file system.
    std::string pattern = target + ".XXXXXX";

    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkstemp creates the file with mode 0600: it holds passwords.
    FileDescriptor fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) return errno;
    TemporaryPath temporary(name.data());

    if (old) {
        if (fchmod(fd.get(), old->st_mode & 07777) != 0) return errno;
        // When root edits another user's file, that user must still own it.
        if (old->st_uid != geteuid() || old->st_gid != getegid())
            if (fchown(fd.get(), old->st_uid, old->st_gid) != 0) return errno;
    }
    if (int error = writeAll(fd.get(), text)) return error;
    if (fsync(fd.get()) != 0) return errno;
    if (close(fd.release()) != 0) return errno;
    if (rename(temporary.get().c_str(), target.c_str()) != 0) return errno;
    temporary.keep();

    // Make the rename itself durable; the file is already whole either way.
    FileDescriptor directoryFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd.get() >= 0) fsync(directoryFd.get());
    return 0;
}

// The file keeps its inode, so its other names and a mount over it see the
// new text. The text goes over the old one before the rest is cut, so the
// file is never empty on the way. 0 or the errno of the step that failed.
int writeInPlace(const std::string& target, const std::string& text) {
    FileDescriptor fd(open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0) return errno;
    if (int error = writeAll(fd.get(), text)) return error;
    if (ftruncate(fd.get(), static_cast<off_t>(text.size())) != 0) return errno;
    if (fsync(fd.get()) != 0) return errno;
    if (close(fd.release()) != 0) return errno;
    return 0;
}

// Failures that say the file cannot be replaced, though it may well be
// writable: a directory the user cannot write (or a sticky one), a file of
// another owner, a file mounted over the name, a read-only directory above a
// file mounted from elsewhere. A full disk is not one of them: writing in
// place could then leave half a file.
bool cannotReplace(int error) {
    return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV || error == EROFS;
}

int writeRcFile(const std::string& path, const std::string& text) {
    std::string target = targetPath(path);
    struct stat old {};
    bool exists = stat(target.c_str(), &old) == 0;
    // A rename would cut the file's other names off from the new text.
    if (exists && S_ISREG(old.st_mode) && old.st_nlink > 1) return writeInPlace(target, text);
    int error = replaceAtomically(target, text, exists ? &old : nullptr);
    if (cannotReplace(error)) error = writeInPlace(target, text);
    return error;
}

}  // namespace

EditorSettings& editorSettings() { return settings; }

void resetEditorSettings() { settings = defaultSettings(); }

int flagDefault(const RcKey& key) {
    std::string word(key.defaultValue.value_or(""));
    return parseBoolean(word);
}

int parseBoolean(std::string& text) {
    for (char& c : text) c = lowerAscii(c);
    if (text == "1" || text == "true" || text == "yes" || text == "on") return 1;
    if (text == "0" || text == "false" || text == "no" || text == "off") return 0;
    std::fprintf(stderr, "Error in converting \"%s\" to boolean value.\n", text.c_str());
    return 0;
}

bool isLocalType(std::string_view type) {
    return type == "MBOX" || type == "MAILDIR" || type == "MH";
}

bool isNetworkType(std::string_view type) {
    return type == "POP3" || type == "IMAP" || type == "HOTMAIL";
}

std::string overlongWordMessage(const OverlongWord& word) {
    return "Mail box " + std::string(word.name) + " is longer than " + std::to_string(word.limit) +
           " characters !";
}

bool addBoxEntry(EntryList& list, std::optional<std::string_view> definition, MissingPath missing,
                 std::string* message) {
    auto report = [message](std::string text) {
        std::fprintf(stderr, "%s\n", text.c_str());
        if (message) *message = std::move(text);
    };
    if (!definition) return false;
    std::vector<std::string> words = splitWords(*definition, 5);
    std::size_t found = words.size();
    // Blanks alone name no box; saved, such an entry would read back as nothing.
    if (found == 0) {
        report("Invalid Mail box parameters !");
        return false;
    }
    words.resize(5);
    // A cut word could name another file or account: refuse it, as the
    // monitor does.
    if (auto overlong = firstOverlongWord(words)) {
        report(overlongWordMessage(*overlong));
        return false;
    }
    if (isLocalType(words[0])) {
        if (found < 2) {
            report("Invalid Mail box parameters !");
            return false;
        }
        if (!canOpenForReading(words[1])) {
            report("Mail box '" + words[1] + "' does not exist !");
            if (missing == MissingPath::refuse) return false;
        }
    }
    for (const BoxEntry& entry : list)
        if (sameWords(entry, words)) return false;
    list.push_back(BoxEntry{.path = std::move(words[1]),
                            .type = std::move(words[0]),
                            .user = std::move(words[2]),
                            .password = std::move(words[3]),
                            .folder = std::move(words[4])});
    return true;
}

void freeEntryList(EntryList& list) { list.clear(); }

void loadRcFile() {
    const std::string& path = settings.rcPath;
    File file(std::fopen(path.c_str(), "r"));
    if (!file) {
        // Only a default file that does not exist yet is no news; one that
        // exists but cannot be read would otherwise be overwritten unseen.
        if (!(errno == ENOENT && isDefaultPath(path))) reportUnopenable(path);
        return;
    }
    std::vector<char> buffer(rcLinePart + 1);
    int lineNumber = 0;
    while (!std::feof(file.get())) {
        std::fill(buffer.begin(), buffer.end(), '\0');
        if (std::fgets(buffer.data(), static_cast<int>(buffer.size()), file.get()) == nullptr)
            break;
        std::string line(buffer.data());
        if (!line.empty() && line.back() == '\n') line.pop_back();
        ++lineNumber;
        handleLine(line, lineNumber);
    }
}

bool saveRcFile() {
    int error = writeRcFile(settings.rcPath, layoutText());
    if (error == 0) {
        saveFailure.clear();
        return true;
    }
    saveFailure = "Unable to open configuration file \"" + settings.rcPath + "\". " +
                  std::strerror(error) + ".";
    std::fprintf(stderr, "%s\n", saveFailure.c_str());
    return false;
}

const std::string& lastSaveFailure() { return saveFailure; }
