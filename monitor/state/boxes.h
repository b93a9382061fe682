#pragma once
// Box definitions and the box list.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"
#include "monitor/headers/headerfields.h"
#include "monitor/state/options.h"

enum BoxType : int32_t {
    BOX_MBOX = 0,
    BOX_MAILDIR = 1,
    BOX_MH = 2,
    BOX_POP3 = 3,
    BOX_HOTMAIL = 4,
    BOX_IMAP = 5,
};

// Why the last check of a box failed; none while it works. A check that
// finds nothing to do (its store unchanged, a network box not due, the box
// busy) has no outcome and leaves this as it was.
enum class BoxFailure : int32_t {
    none = 0,
    unreachable,          // the server cannot be reached
    tlsFailed,            // TLS failed
    identityRefused,      // the server's identity was refused
    signInRefused,        // the sign-in was refused
    credentialCommand,    // the credential command failed
    tooManyConnections,   // the server refuses more connections
    answerNotUnderstood,  // the server's answer was not understood
    noSuchFolder,         // the folder does not exist
    mailboxMissing,       // a local mailbox does not exist
    mailboxUnreadable,    // a local mailbox cannot be read
    noMhProfile,          // no MH profile names the mail store
};

// One monitored mailbox. The texts are fixed when the Box is made; the
// counters and flags are atomics because a worker writes them while the
// cycle reads them.
struct Box {
    std::string path;
    std::atomic<int64_t> timeStamp{0};
    std::atomic<int64_t> sizeStamp{0};
    std::atomic<int32_t> newCount{0};
    std::atomic<int32_t> totalCount{0};
    // Whether the last count of a local box was the forced recount of its
    // settled stamps, or a network box was fetched.
    std::atomic<bool> settled{false};
    // From a check that counted the box afresh until a cycle takes it.
    std::atomic<bool> updated{false};
    // 1 while a check of the box runs.
    std::atomic<int32_t> busy{0};
    // Once a check has counted the box (or its counts were carried over
    // from a counted box): only then can a rise of its new count be news.
    std::atomic<bool> counted{false};
    // The new count the main thread last compared for the notify command, -1
    // before the first comparison. Written under boxListLock only.
    std::atomic<int32_t> notifiedNew{-1};
    // When its store was seen changing (or its server told of mail): the
    // next check counts it whatever its stamps say.
    std::atomic<bool> pushed{false};
    // When its new count last rose, in the order of all boxes' rises: the
    // notify command is told of the box whose mail came last.
    std::atomic<uint64_t> risenAt{0};
    // Whether the last check that had an outcome worked; a worker writes it
    // through recordCheckOutcome while the cycle reads it.
    std::atomic<BoxFailure> failure{BoxFailure::none};
    int32_t type = BOX_MBOX;
    std::optional<std::string> user;
    std::optional<SecretText> password;  // wiped when the Box goes
    std::optional<std::string> folder;
    int32_t port = 0;
    // The box as its definition names it, without the password: for messages.
    std::string label;

    // Who wrote the newest new message and about what, as the box's last
    // count found them: written by its check, read by the main thread,
    // always through the two functions below.
    mutable std::mutex newestLock;
    MessageSummary newest;
};

// The box's password as it stands, "" for none; valid while the Box lives.
std::string_view boxPassword(const Box& box);

MessageSummary newestMessage(const Box& box);
void setNewestMessage(Box& box, MessageSummary summary);

// The list in force is never changed in place: a rebuild makes a new one and
// swaps it in. Whoever holds a Box (a worker, the cycle, a test) keeps it alive.
using BoxList = std::vector<std::shared_ptr<Box>>;

// Guards `boxList` itself (the pointer), not the Boxes' counters.
extern std::mutex boxListLock;
// Never destroyed: detached workers may still use it while the process exits.
extern std::shared_ptr<const BoxList>& boxList;

// The list in force, taken under the lock.
std::shared_ptr<const BoxList> boxListSnapshot();

void addDefinition(DefinitionList& list, std::optional<std::string_view> text);
int32_t boxTypeCode(std::string_view keyword);

// Parses one definition into a new Box, or reports why not and returns none.
// `place` ("In FILE at line N.") ends the reports of a definition of the rc file.
std::shared_ptr<Box> parseDefinition(std::string_view text, std::string_view place = {});

// Remembers where the rc file gave a definition, for the reports of the
// rebuild that parses it; the first place of a text counts.
void noteDefinitionPlace(std::string_view text, std::string_view place);

// Parses the definitions into a new list and puts it in force, correcting
// the settings it bounds. `checkSelection`: whether settings::selectedBox is
// brought into the new list's range too; a reload whose file gives no
// DefaultBox leaves the live selection to the main loop, which keeps it in range.
void rebuildBoxList(bool checkSelection = true);

// The selection when it is a box of a list of `count` (or 0, all boxes);
// otherwise 0, with the warning that says so.
int32_t selectionInRange(int32_t selected, int32_t count);

// True once the command line or the rc file defined a box, valid or not.
bool anyBoxDefined();
// Puts the box of this definition in force while no box is defined: the
// user's system mailbox on a first run. The first definitions that come
// later, by a reload, replace it even when they yield no box.
void putFallbackBox(std::string_view definition);
std::shared_ptr<Box> boxAt(int32_t position);
int32_t boxCount(const BoxList& list);
