#pragma once
// The editor's model of one rc file: every setting the editor shows, the box
// list, and the reader and writer of the file. No GTK here.

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/definition.h"
#include "common/rcschema.h"

// One `Mailbox` line split into its words.
struct BoxEntry {
    std::string path;  // FILE-OR-URL as written, a ":port" included
    std::string type;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> folder;
};

// A list keeps every entry at its address while others come and go: the rows
// of the box view point at them.
using EntryList = std::list<BoxEntry>;

// Every key of the rc file under its own name. The values before a file is
// read are the keys' defaults (resetEditorSettings).
struct EditorSettings {
    int Backlight{};
    int Blink{};
    int RunOnce{};
    int CheckSize{};
    int32_t Interval{};
    int32_t CheckDelay{};
    int32_t DefaultBox{};  // box number from 1 as the monitor reads it; 0 = all boxes
    std::optional<std::string> Color;
    std::optional<std::string> Command;
    std::optional<std::string> Notify;
    std::optional<int> UseThreads;  // written back only when the file had it
    std::optional<int> Push;        // written when the file had it or it is off
    // Shell commands that print a network box's credential when the box has no
    // password; each written only when set.
    std::optional<std::string> PasswordCommand;
    std::optional<std::string> TokenCommand;
    std::string rcPath;
    EntryList entryList;
};

// The one record the editor works on.
EditorSettings& editorSettings();

// Puts every field back to its value before a file is read.
void resetEditorSettings();

// The value of a boolean key that the file does not give.
int flagDefault(const RcKey& key);

// What addBoxEntry does with a local box whose path cannot be opened.
enum class MissingPath {
    refuse,  // a box the user is adding
    keep,    // a box read from the file: an unmounted spool must survive a save
};

// Reads `rcPath` into the record; messages go to standard error.
void loadRcFile();

// Writes the record to `rcPath` in the fixed layout, through a temporary file
// renamed over it; where the file cannot be replaced so (a directory the user
// cannot write, a file mounted over its name) or must not be (more names for
// it), over the file itself. Returns false (after the message) when it could
// not.
bool saveRcFile();

// The message of the last failed save, with its reason, without a line feed.
const std::string& lastSaveFailure();

// Parses "TYPE FILE-OR-URL [USERNAME] [PASSWORD] [FOLDER]" and appends an
// entry. Returns true when one was appended. What it prints on standard error
// also goes to `message`, when given, without the line feed.
bool addBoxEntry(EntryList& list, std::optional<std::string_view> definition,
                 MissingPath missing = MissingPath::refuse, std::string* message = nullptr);

// The message that refuses a definition for a word longer than its limit,
// without the line feed.
std::string overlongWordMessage(const OverlongWord& word);

// 1 or 0 for a boolean word; folds `text` to lower case in place.
int parseBoolean(std::string& text);

void freeEntryList(EntryList& list);

// True when the type word names a local store (MBOX, MAILDIR, MH).
bool isLocalType(std::string_view type);

// True when the type word names a network account (POP3, IMAP, HOTMAIL).
bool isNetworkType(std::string_view type);

// A password word that stands for none, so that a folder can still follow
// it; the monitor then runs PasswordCommand or TokenCommand.
inline constexpr std::string_view noPasswordWord = "-";
