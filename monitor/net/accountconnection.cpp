#include "monitor/net/accountconnection.h"

#include <algorithm>

#include "common/text.h"

namespace {

// A kept connection runs in a thread of its own: it may wait long for an
// answer (a server that counts many folders, or slows down a refusal).
constexpr Patience accountPatience{std::chrono::seconds(30), std::chrono::seconds(60)};

bool isDigitText(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return isDigit(c); });
}

// What one line of the server says, noted on the connection; true when it
// is the tagged line of the command sent last.
bool takeLine(AccountConnection& conn, std::string_view line) {
    if (!conn.imap.tag.empty() && line.starts_with(conn.imap.tag)) return true;
    if (!conn.idleTag.empty() && line.starts_with(conn.idleTag)) {
        // The server ended IDLE on its own.
        conn.bye = true;
        return false;
    }
    if (std::optional<ImapStatusData> status = imapParseStatusLine(line)) {
        conn.news.push_back({status->mailbox, status->messages, status->unseen});
    } else if (startsWithNoCase(line, "* CAPABILITY ")) {
        conn.capabilities.append(line).append("\n");
    } else if (startsWithNoCase(line, "* BYE")) {
        conn.bye = true;
    } else if (imapTellsOfChange(line)) {
        conn.changed = true;
    }
    return false;
}

// The tagged line of the command sent last, after every line before it has
// been noted; empty when the connection failed or no answer came.
std::string readAnswer(AccountConnection& conn, bool untilContinuation = false) {
    return imapReadTagged(
        conn.imap, conn.reader, [&](std::string_view line) { takeLine(conn, line); },
        accountPatience, untilContinuation);
}

std::string_view wordAfterTag(std::string_view tagged, std::string_view tag) {
    if (!tagged.starts_with(tag)) return {};
    tagged.remove_prefix(tag.size());
    return tagged.substr(0, tagged.find(' '));
}

// Sends the command and reads its answer: the word after its tag (OK, NO,
// BAD), empty when none came.
std::string command(AccountConnection& conn, std::string_view text) {
    imapSendCommand(conn.imap, text);
    std::string tagged = readAnswer(conn);
    return std::string(wordAfterTag(tagged, conn.imap.tag));
}

bool hasCapability(const AccountConnection& conn, std::string_view name) {
    return imapHasCapability(conn.capabilities, name);
}

std::string quotedList(const std::vector<std::string>& folders) {
    std::string list = "(";
    for (const std::string& folder : folders) {
        if (list.size() > 1) list += " ";
        list += imapQuoted(folder).value_or("\"\"");
    }
    return list + ")";
}

bool hasNews(const AccountConnection& conn, std::string_view folder, std::size_t from) {
    return std::any_of(conn.news.begin() + static_cast<std::ptrdiff_t>(from), conn.news.end(),
                       [&](const FolderNews& news) {
                           return news.messages && news.unseen && isSameFolder(news.folder, folder);
                       });
}

// STATUS of one folder. The line in its answer is the folder's, whatever
// name the server gives it.
bool statusOf(AccountConnection& conn, const std::string& folder) {
    std::optional<std::string> mailbox = imapQuoted(folder);
    if (!mailbox) {
        conn.news.push_back({folder, std::nullopt, std::nullopt, NetFailure::notUnderstood});
        return true;
    }
    std::size_t before = conn.news.size();
    std::string word = command(conn, "STATUS " + *mailbox + " (MESSAGES UNSEEN)\r\n");
    if (word.empty()) return false;
    if (equalsNoCase(word, "OK")) {
        if (hasNews(conn, folder, before)) return true;
        if (conn.news.size() == before + 1 && conn.news.back().messages &&
            conn.news.back().unseen) {
            conn.news.back().folder = folder;
            return true;
        }
    }
    conn.news.push_back(
        {folder, std::nullopt, std::nullopt,
         equalsNoCase(word, "NO") ? NetFailure::noSuchFolder : NetFailure::notUnderstood});
    return true;
}

bool hasWildcard(const std::string& folder) {
    return folder.find_first_of("*%") != std::string::npos;
}

}  // namespace

bool isSameFolder(std::string_view named, std::string_view watched) {
    return named == watched || (equalsNoCase(named, "INBOX") && equalsNoCase(watched, "INBOX"));
}

bool imapTellsOfChange(std::string_view line) {
    if (!line.starts_with("* ")) return false;
    line.remove_prefix(2);
    std::size_t gap = line.find(' ');
    if (gap == std::string_view::npos || !isDigitText(line.substr(0, gap))) return false;
    std::string_view what = line.substr(gap + 1);
    std::string_view word = what.substr(0, what.find(' '));
    return equalsNoCase(word, "EXISTS") || equalsNoCase(word, "EXPUNGE") ||
           equalsNoCase(word, "RECENT") || equalsNoCase(word, "FETCH");
}

bool accountOpen(AccountConnection& conn, const NetAccount& account, const CredentialAsk& ask) {
    conn.imap.patience = accountPatience;
    if (imapConnect(conn.imap, account.server, account.port) != 0) {
        connectionClose(conn.imap.connection);
        return false;
    }
    if (imapSignIn(conn.imap, account, ask) != 0) {
        NetFailure failure = conn.imap.connection.failure;
        imapLogout(conn.imap);
        conn.imap.connection.failure = failure;
        return false;
    }
    // The capabilities may grow once signed in.
    conn.capabilities.clear();
    if (!equalsNoCase(command(conn, "CAPABILITY\r\n"), "OK")) {
        conn.imap.connection.failure = NetFailure::notUnderstood;
        accountClose(conn);
        return false;
    }
    bool idle = hasCapability(conn, "IDLE");
    // NOTIFY's news comes while the client waits in IDLE.
    conn.mode = idle && hasCapability(conn, "NOTIFY") ? AccountMode::notify
                : idle                                ? AccountMode::idle
                                                      : AccountMode::poll;
    conn.listStatus = hasCapability(conn, "LIST-STATUS") && hasCapability(conn, "LIST-EXTENDED");
    return true;
}

bool accountCount(AccountConnection& conn, const std::vector<std::string>& folders) {
    std::vector<std::string> left = folders;
    if (conn.listStatus && folders.size() > 1 &&
        std::none_of(folders.begin(), folders.end(), hasWildcard)) {
        std::size_t before = conn.news.size();
        std::string word = command(
            conn, "LIST \"\" " + quotedList(folders) + " RETURN (STATUS (MESSAGES UNSEEN))\r\n");
        if (word.empty()) return false;
        // A folder the answer did not tell of (one that does not exist, say)
        // is asked on its own.
        std::erase_if(left,
                      [&](const std::string& folder) { return hasNews(conn, folder, before); });
    }
    for (const std::string& folder : left)
        if (!statusOf(conn, folder)) return false;
    return true;
}

bool accountWatch(AccountConnection& conn, const std::vector<std::string>& folders) {
    if (conn.mode == AccountMode::notify) {
        std::string word = command(conn, "NOTIFY SET STATUS (mailboxes " + quotedList(folders) +
                                             " (MessageNew MessageExpunge FlagChange))\r\n");
        if (word.empty()) return false;
        if (equalsNoCase(word, "OK")) return true;
        conn.mode = AccountMode::idle;
    }
    if (conn.mode != AccountMode::idle) return true;
    std::vector<std::string> order = folders;
    std::stable_partition(order.begin(), order.end(),
                          [](const std::string& folder) { return isSameFolder(folder, "INBOX"); });
    for (const std::string& folder : order) {
        std::optional<std::string> mailbox = imapQuoted(folder);
        if (!mailbox) continue;
        // EXAMINE, not SELECT: the folder is opened read-only, nothing marked read.
        std::string word = command(conn, "EXAMINE " + *mailbox + "\r\n");
        if (word.empty()) return false;
        // A refused EXAMINE leaves no folder examined.
        conn.examined.clear();
        if (equalsNoCase(word, "OK")) {
            conn.idleFolder = conn.examined = folder;
            conn.changed = false;
            return true;
        }
    }
    conn.mode = AccountMode::poll;
    return true;
}

bool accountIdle(AccountConnection& conn) {
    imapSendCommand(conn.imap, "IDLE\r\n");
    std::string tag = conn.imap.tag;
    std::string answer = readAnswer(conn, true);
    if (!answer.starts_with("+")) return false;
    conn.idleTag = tag;
    // A later tagged line is IDLE's end: no other command is awaited.
    conn.imap.tag.clear();
    return true;
}

bool accountIdleDone(AccountConnection& conn) {
    if (conn.idleTag.empty()) return true;
    conn.imap.tag = std::exchange(conn.idleTag, {});
    if (!connectionSend(conn.imap.connection, "DONE\r\n")) return false;
    return equalsNoCase(wordAfterTag(readAnswer(conn), conn.imap.tag), "OK");
}

AccountEvent accountAwait(AccountConnection& conn, WakePipe& wake, Deadline deadline) {
    Connection& link = conn.imap.connection;
    if (!link.socket.isOpen()) return AccountEvent::dropped;
    for (;;) {
        switch (connectionAwait(link, wake.readFd(), deadline)) {
        case Readiness::stopped:
            wake.take();
            return AccountEvent::woken;
        case Readiness::timedOut:
            return AccountEvent::timeUp;
        case Readiness::readable:
            break;
        }
        ReceiveResult got = connectionReceive(link, [&](std::string_view piece) {
            imapReadLines(conn.reader, piece, [&](std::string_view line) { takeLine(conn, line); });
            return true;
        });
        if (got.end != ReceiveEnd::done || conn.bye) return AccountEvent::dropped;
        if (!conn.news.empty() || conn.changed) return AccountEvent::news;
    }
}

std::string accountAnswer(AccountConnection& conn) { return readAnswer(conn); }

bool accountNewest(AccountConnection& conn, const std::string& folder, int32_t messages,
                   MessageSummary& newest, std::vector<std::string>& unheard) {
    newest = {};
    auto take = [&](std::string_view line) { takeLine(conn, line); };
    bool changedBefore = conn.changed;
    bool switched = conn.examined.empty() || !isSameFolder(conn.examined, folder);
    if (switched) {
        std::string word = imapExamine(conn.imap, conn.reader, folder, take, conn.newestPatience);
        if (word.empty()) return false;
        conn.examined = equalsNoCase(word, "OK") ? folder : std::string();
        // What EXAMINE tells is the folder as it stands, not news; what it
        // tells from now on is news of this folder.
        conn.changed = false;
        if (conn.examined.empty()) {
            conn.changed = changedBefore;
            return true;
        }
    }
    bool alive = imapReadNewest(conn.imap, conn.reader, hasCapability(conn, "ESEARCH"), messages,
                                take, conn.newestPatience, newest);
    if (switched) {
        if (conn.changed) unheard.push_back(folder);
        conn.changed = changedBefore;
    }
    return alive;
}

bool accountRewatch(AccountConnection& conn, std::vector<std::string>& unheard) {
    bool changedBefore = conn.changed;
    if (conn.mode == AccountMode::idle) {
        if (!conn.examined.empty() && isSameFolder(conn.examined, conn.idleFolder)) return true;
        std::optional<std::string> mailbox = imapQuoted(conn.idleFolder);
        if (!mailbox || !equalsNoCase(command(conn, "EXAMINE " + *mailbox + "\r\n"), "OK"))
            return false;
        conn.examined = conn.idleFolder;
        conn.changed = changedBefore;
        // Its changes went untold while another folder was examined.
        unheard.push_back(conn.idleFolder);
        return true;
    }
    if (conn.examined.empty()) return true;
    // CLOSE removes nothing from a folder examined read-only.
    std::string word =
        command(conn, hasCapability(conn, "UNSELECT") ? "UNSELECT\r\n" : "CLOSE\r\n");
    // A folder left examined would keep its news from NOTIFY.
    if (!equalsNoCase(word, "OK")) return false;
    if (conn.changed && !changedBefore) unheard.push_back(conn.examined);
    conn.changed = changedBefore;
    conn.examined.clear();
    return true;
}

void accountClose(AccountConnection& conn) {
    if (conn.imap.connection.socket.isOpen()) {
        if (!conn.idleTag.empty()) connectionSend(conn.imap.connection, "DONE\r\n");
        imapLogout(conn.imap);
    }
    conn.idleTag.clear();
}
