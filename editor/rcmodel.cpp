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
#include <vector>

#include "common/numbers.h"

namespace {

EditorSettings settings;
std::string saveFailure;  // the message of the last save that failed

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Owns a descriptor until it is handed to a FILE.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
};

// Removes the temporary file unless the rename has taken it.
class TemporaryPath {
public:
    explicit TemporaryPath(std::string path) : path(std::move(path)) {}
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

bool isWordSeparator(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void reportUnopenable(const std::string& path) {
    std::fprintf(stderr, "Unable to open configuration file \"%s\".\n", path.c_str());
}

bool isDefaultPath(const std::string& path) {
    return path.find("/.quorvikrc") != std::string::npos;
}

const char* onOff(int flag) { return flag ? "On" : "Off"; }
const char* trueFalse(int flag) { return flag ? "True" : "False"; }
const char* yesNo(int flag) { return flag ? "Yes" : "No"; }
const char* textOrNothing(const std::optional<std::string>& text) {
    return text ? text->c_str() : "";
}

void storeValue(const std::string& key, std::string value) {
    EditorSettings& s = settings;
    if (key == "Backlight")
        s.Backlight = parseBoolean(value);
    else if (key == "Blink")
        s.Blink = parseBoolean(value);
    else if (key == "RunOnce")
        s.RunOnce = parseBoolean(value);
    else if (key == "CheckSize")
        s.CheckSize = parseBoolean(value);
    else if (key == "UseThreads")
        s.UseThreads = parseBoolean(value);
    else if (key == "Push")
        s.Push = parseBoolean(value);
    else if (key == "Interval")
        s.Interval = leadingInteger(value);
    else if (key == "DefaultBox")
        s.DefaultBox = leadingInteger(value);
    else if (key == "CheckDelay")
        s.CheckDelay = leadingInteger(value);
    else if (key == "Color")
        s.Color = std::move(value);
    else if (key == "Command")
        s.Command = std::move(value);
    else if (key == "Notify")
        s.Notify = std::move(value);
    else if (key == "PasswordCommand")
        s.PasswordCommand = std::move(value);
    else if (key == "TokenCommand")
        s.TokenCommand = std::move(value);
    else if (key == "Mailbox")
        addBoxEntry(s.entryList, value, MissingPath::keep);
}

// The keys the editor reads. UseThreads is the monitor's; the editor keeps it
// so that a save does not switch the monitor's threads back on. No key begins
// another, so their order does not matter.
constexpr const char* knownKeys[] = {"Backlight",  "Color",           "Interval",    "Mailbox",
                                     "Command",    "Notify",          "Blink",       "DefaultBox",
                                     "CheckDelay", "RunOnce",         "CheckSize",   "UseThreads",
                                     "Push",       "PasswordCommand", "TokenCommand"};

void handleLine(const std::string& line, int lineNumber) {
    if (line.empty() || line[0] == '#') return;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) return;
    std::size_t start = line.find_first_not_of(' ', equals + 1);
    if (start == std::string::npos) return;
    for (const char* key : knownKeys) {
        if (line.compare(0, std::strlen(key), key) == 0) {
            storeValue(key, line.substr(start));
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
    Descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0;
}

// One commented setting: its comment lines, "#", the setting, an empty line.
void appendSetting(std::string& text, const char* comment, const char* key,
                   const std::string& value) {
    text.append(comment).append("#\n").append(key).append(" = ").append(value).append("\n\n");
}

// The whole file in the fixed layout.
std::string layoutText() {
    const EditorSettings& s = settings;
    std::string text =
        "# AUTOGENERATED configuration file for quorvik\n"
        "# empty lines or lines begining with # are ignored\n"
        "# booleans can take the next values : 0 1 true false yes no on off\n"
        "# and are case insensitive\n"
        "\n";
    appendSetting(text, "# Backlight : boolean\n# Default : Off\n", "Backlight",
                  onOff(s.Backlight));
    appendSetting(text,
                  "# Color : string (backlight color when backlight is ON)\n"
                  "# Default : #6ec63b\n",
                  "Color", textOrNothing(s.Color));
    appendSetting(text,
                  "# CheckSize : boolean (use files' size to check for new mails)\n"
                  "# Default : False\n",
                  "CheckSize", trueFalse(s.CheckSize));
    appendSetting(text, "# Update interval : integer (seconds)\n# Default : 1\n", "Interval",
                  std::to_string(s.Interval));
    appendSetting(text, "# Command : string (what to do with button 2)\n# Default : nothing\n",
                  "Command", textOrNothing(s.Command));
    appendSetting(text,
                  "# Notify : string (what to do when new mail arrives)\n# Default : nothing\n",
                  "Notify", textOrNothing(s.Notify));
    appendSetting(text, "# Blinking enable : boolean\n# Default : yes\n", "Blink", yesNo(s.Blink));
    appendSetting(text,
                  "# Default box to display : integer (not usefull for only 1 mailbox)\n"
                  "# Default : 0 (all boxes)\n",
                  "DefaultBox", std::to_string(s.DefaultBox));
    appendSetting(text,
                  "# Delay between pop3/hotmail and imap checks : integer (in seconds)\n"
                  "# Default : 30\n",
                  "CheckDelay", std::to_string(std::max<int32_t>(s.CheckDelay, 15)));
    appendSetting(text,
                  "# Run Notify-command only when switching from 0 new mail to >0\n"
                  "# Default : False\n",
                  "RunOnce", trueFalse(s.RunOnce));
    if (s.UseThreads)
        appendSetting(text, "# UseThreads : boolean (check boxes in threads)\n# Default : True\n",
                      "UseThreads", trueFalse(*s.UseThreads));
    if (s.Push)
        appendSetting(text,
                      "# Push : boolean (show new mail the moment it lands, without waiting for "
                      "the next check)\n"
                      "# Default : True\n",
                      "Push", trueFalse(*s.Push));
    // Unset, they stay out, so that a file without them is saved as it was.
    if (s.PasswordCommand && !s.PasswordCommand->empty())
        appendSetting(text,
                      "# PasswordCommand : string (shell command printing the password of a "
                      "network box without one)\n"
                      "# Default : nothing\n",
                      "PasswordCommand", *s.PasswordCommand);
    if (s.TokenCommand && !s.TokenCommand->empty())
        appendSetting(text,
                      "# TokenCommand : string (shell command printing an OAuth2 access token, "
                      "for a network box without a password)\n"
                      "# Default : nothing\n",
                      "TokenCommand", *s.TokenCommand);
    text +=
        "# Mailbox : string of options (filename -- use as many as you have mailboxes)\n"
        "# Default : nothing\n"
        "# Format  : TYPE FILE-OR-URL [USERNAME] [PASSWORD] [FOLDER]\n"
        "#\n";
    auto word = [](const std::optional<std::string>& field) {
        return field ? " " + *field : std::string();
    };
    for (const BoxEntry& entry : s.entryList)
        text += "Mailbox = " + entry.type + " " + entry.path + word(entry.user) +
                word(entry.password) + word(entry.folder) + "\n";
    return text;
}

// The file the rc path stands for: a symbolic link is followed, so that a
// linked rc file is updated instead of the link being replaced.
std::string targetPath(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            std::string target(resolved);
            std::free(resolved);
            return target;
        }
    }
    return path;
}

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
    Descriptor fd(mkostemp(name.data(), O_CLOEXEC));
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
    Descriptor directoryFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd.get() >= 0) fsync(directoryFd.get());
    return 0;
}

// The file keeps its inode, so its other names and a mount over it see the
// new text. The text goes over the old one before the rest is cut, so the
// file is never empty on the way. 0 or the errno of the step that failed.
int writeInPlace(const std::string& target, const std::string& text) {
    Descriptor fd(open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
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

void resetEditorSettings() { settings = EditorSettings{}; }

int parseBoolean(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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

std::vector<std::string> splitWords(std::string_view text, std::size_t count) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (words.size() < count) {
        while (at < text.size() && isWordSeparator(text[at])) ++at;
        if (at == text.size()) break;
        std::size_t end = at;
        while (end < text.size() && !isWordSeparator(text[end])) ++end;
        words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return words;
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
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i].size() > boxWordLimits[i]) {
            report("Invalid Mail box parameters !");
            return false;
        }
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
    char buffer[1024];
    int lineNumber = 0;
    while (!std::feof(file.get())) {
        std::memset(buffer, 0, sizeof buffer);
        if (std::fgets(buffer, sizeof buffer, file.get()) == nullptr) break;
        std::string line(buffer);
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
