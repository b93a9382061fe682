#pragma once
// One IMAP connection for all the watched folders of an account (the boxes
// that share server, port and user), signed in once and kept open. Where the
// server offers NOTIFY (RFC 5465) it tells each change of a folder's counts
// as an untagged STATUS; where it offers only IDLE, it tells the changes of
// one folder, and the folders are asked again; with neither, they are asked
// at each pass. The counts come from STATUS (or LIST-STATUS, RFC 5819) read
// by the same parser as a check's.
//
// Out of IDLE, any command may be sent between two of these steps (a short
// exchange about one folder, say) with imapSendCommand and accountAnswer.

#include <optional>
#include <string>
#include <vector>

#include "common/wait.h"
#include "monitor/net/imapclient.h"

enum class AccountMode {
    notify,  // NOTIFY SET STATUS for the folders, then IDLE
    idle,    // EXAMINE of one folder, then IDLE
    poll,    // neither: the folders are asked at each pass
};

// What the server said of one folder: its counts, either of which may be
// missing (news of a change names only what changed), or that it has none.
struct FolderNews {
    std::string folder;  // as the server names it
    std::optional<int32_t> messages;
    std::optional<int32_t> unseen;
    NetFailure failure = NetFailure::none;  // noSuchFolder: a NO to STATUS
};

struct AccountConnection {
    ImapConn imap;
    AccountMode mode = AccountMode::poll;
    bool listStatus = false;  // LIST-STATUS with the patterns of LIST-EXTENDED
    std::string idleFolder;   // the folder IDLE watches, in mode idle
    std::string examined;     // the folder examined now; empty when none
    std::string idleTag;      // the tag of IDLE while it goes on
    ImapLineReader reader;
    std::string capabilities;  // the CAPABILITY data once signed in
    // How long the answers about a newest message are awaited, set by the
    // owner: a server that keeps them back holds the counts that wait for
    // them no longer.
    Patience newestPatience;
    // What the lines said, taken by the caller.
    std::vector<FolderNews> news;
    bool changed = false;  // EXISTS, EXPUNGE, RECENT or FETCH of the examined folder
    bool bye = false;
};

// Connects, secures and signs in as a check of the account does, asks for
// the capabilities and chooses the mode. False with `imap.connection.failure`
// telling why.
bool accountOpen(AccountConnection& conn, const NetAccount& account, const CredentialAsk& ask);

// Asks for the counts of the folders: all in one LIST-STATUS where offered,
// STATUS for each folder it did not tell. Each answer goes to `news`, a
// folder that does not exist with noSuchFolder. False when the connection
// failed.
bool accountCount(AccountConnection& conn, const std::vector<std::string>& folders);

// Asks the server to tell of changes: in mode notify NOTIFY SET STATUS for
// the folders (a refusal falls back to mode idle), in mode idle EXAMINE of
// INBOX when it is watched, else of the first folder that exists (none: mode
// poll). False when the connection failed.
bool accountWatch(AccountConnection& conn, const std::vector<std::string>& folders);

// IDLE, until the server's continuation; DONE, until IDLE's tagged end.
bool accountIdle(AccountConnection& conn);
bool accountIdleDone(AccountConnection& conn);

enum class AccountEvent {
    news,     // STATUS lines came, or the examined folder changed
    woken,    // the wake pipe was raised
    timeUp,   // the deadline came first
    dropped,  // the server closed the connection, said BYE, or ended IDLE
};

// Waits for the server until the deadline or the wake pipe; what it says
// goes to `news` and `changed`.
AccountEvent accountAwait(AccountConnection& conn, WakePipe& wake, Deadline deadline);

// Sends nothing; reads the lines of the answer to the command sent last
// until its tagged line, which it gives (empty when none came).
std::string accountAnswer(AccountConnection& conn);

// Out of IDLE: who wrote the newest unseen message of the folder and about
// what (imapReadNewest, ESEARCH where offered; `messages` is the folder's
// count), after EXAMINE of the folder unless it is the one examined. The
// folder stays examined until accountRewatch; when it tells a change
// meanwhile, it goes to `unheard`. False when the connection can no longer
// be used.
bool accountNewest(AccountConnection& conn, const std::string& folder, int32_t messages,
                   MessageSummary& newest, std::vector<std::string>& unheard);

// After accountNewest, puts back what the connection watches: in mode idle
// the folder IDLE watches examined again (it goes to `unheard`: its changes
// went untold meanwhile), else no folder examined (UNSELECT, or CLOSE where
// it is not offered), so that NOTIFY tells of every folder again. False when
// the connection can no longer be used.
bool accountRewatch(AccountConnection& conn, std::vector<std::string>& unheard);

// DONE when in IDLE, LOGOUT, and the connection closed. Safe on a
// connection that is gone.
void accountClose(AccountConnection& conn);

// True when the server's name of a folder is the box's: the same text, or
// INBOX in any case.
bool isSameFolder(std::string_view named, std::string_view watched);

// True when an untagged line tells of a change of the examined folder.
bool imapTellsOfChange(std::string_view line);
