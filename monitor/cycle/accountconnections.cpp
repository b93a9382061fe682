#include "monitor/cycle/accountconnections.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "common/wait.h"
#include "monitor/accounts/account.h"
#include "monitor/accounts/credentials.h"
#include "monitor/checks/imapcheck.h"
#include "monitor/cycle/cycle.h"
#include "monitor/cycle/wake.h"
#include "monitor/net/accountconnection.h"
#include "monitor/state/options.h"

namespace {

using Clock = std::chrono::steady_clock;

// The boxes of one account share its connection: the same server, port and
// user, and the same password (a box that gives another is another sign-in).
using AccountKey =
    std::tuple<std::string, int32_t, std::optional<std::string>, std::optional<SecretText>>;

AccountKey keyOf(const Box& box) { return {box.path, box.port, box.user, box.password}; }

// One account's thread: it ends once `stop` is set, woken through the pipe.
struct Account {
    std::mutex boxesLock;  // guards boxes
    BoxList boxes;         // the account's boxes in the list in force
    std::atomic<bool> stop{false};
    std::atomic<bool> pass{false};    // the scheduler passed
    std::atomic<bool> resync{false};  // the boxes changed
    WakePipe wake;
    // Raised when the account ends: a wait on its server breaks off at once.
    WakePipe stopping;
    // Started by the pass under way, which its first count answers.
    // Guarded by accountsLock.
    bool startedByPass = false;
};

std::mutex accountsLock;  // guards accounts and timings
std::map<AccountKey, std::shared_ptr<Account>> accounts;
AccountTimings timings;
std::atomic<int> running{0};  // threads alive
std::atomic<int> serving{0};  // connections signed in and answering

void endAccount(Account& account) {
    account.stop = true;
    account.stopping.raise();
    account.wake.raise();
}

BoxList boxesOf(Account& account) {
    std::lock_guard guard(account.boxesLock);
    return account.boxes;
}

std::vector<std::string> foldersOf(const BoxList& boxes) {
    std::vector<std::string> folders;
    for (const auto& box : boxes) {
        std::string folder = box->folder.value_or("INBOX");
        if (std::none_of(folders.begin(), folders.end(),
                         [&](const std::string& seen) { return seen == folder; }))
            folders.push_back(folder);
    }
    return folders;
}

// One connection's life: its folders' last counts, and how they reach the
// boxes.
class Service {
public:
    Service(Account& owner, AccountConnection& link) : account(owner), conn(link) {
        boxes = boxesOf(account);
        folders = foldersOf(boxes);
    }

    // Counts, watches and waits for news until the connection drops or the
    // account ends. True once it has signed in and answered.
    bool run() {
        // A pass that came while the connection was opened is answered by
        // its first count.
        account.pass = false;
        if (boxes.empty() || !accountCount(conn, folders)) return false;
        takeNews();
        noteAccountAnswered(*boxes.front());
        ++serving;
        bool going = accountWatch(conn, folders);
        takeNews();
        going = going && readNewest();
        while (going && !account.stop) going = serveOnce();
        // What rose while the connection failed is shown all the same.
        storeRising();
        --serving;
        return true;
    }

private:
    bool idling() const { return conn.mode != AccountMode::poll; }

    // One wait for news and what it asks for. False when the connection
    // dropped.
    bool serveOnce() {
        // A count taken again after a newest message was read may rise too.
        if (!rising.empty()) return readNewest();
        if (idling() && conn.idleTag.empty()) {
            if (!accountIdle(conn)) return false;
            renewAt = Clock::now() + accountTimings().renewal;
        }
        // What came with the answers to the last commands (EXISTS of the
        // examined folder, say) is news already.
        if (conn.changed || !conn.news.empty()) return answer();
        Deadline deadline = idling() ? renewAt : Deadline::max();
        switch (accountAwait(conn, account.wake, deadline)) {
        case AccountEvent::dropped:
            return false;
        case AccountEvent::timeUp:
            // Ended and started again before a server ends it.
            return accountIdleDone(conn);
        case AccountEvent::woken:
            if (account.stop) return true;
            break;
        case AccountEvent::news:
            break;
        }
        return answer();
    }

    // What the news and the wake-ups ask for.
    bool answer() {
        bool recount = false;
        if (conn.changed) {
            // A delivery is several lines: take them all, then count once.
            auto first = Clock::now();
            AccountTimings pace = accountTimings();
            while (!account.stop) {
                Deadline until =
                    std::min(Clock::now() + pace.quiet, first + std::chrono::milliseconds(1000));
                AccountEvent event = accountAwait(conn, account.wake, until);
                if (event == AccountEvent::dropped) return false;
                if (event != AccountEvent::news) break;
            }
            conn.changed = false;
            recount = true;
        }
        std::vector<std::string> toCount = takeNews();
        bool passed = account.pass.exchange(false);
        bool watchAnew = false;
        if (account.resync.exchange(false)) {
            boxes = boxesOf(account);
            // The new Boxes of the folders kept get the counts known (a
            // rise still waits for its newest message).
            for (const auto& [folder, counts] : known)
                if (rising.count(folder) == 0) storeCounts(folder, counts);
            std::vector<std::string> now = foldersOf(boxes);
            watchAnew = now != folders;
            folders = std::move(now);
        }
        if (recount || watchAnew || (passed && conn.mode != AccountMode::notify)) {
            toCount = folders;
        } else if (passed) {
            // With NOTIFY the server tells every change; a folder it could
            // not count (it did not exist) is asked again at each pass.
            for (const std::string& folder : folders)
                if (known.count(folder) == 0) toCount.push_back(folder);
        }
        if (account.stop || boxes.empty()) rising.clear();
        if ((toCount.empty() && rising.empty()) || account.stop || boxes.empty()) return true;
        if (!accountIdleDone(conn)) return false;
        if (!toCount.empty()) {
            if (!accountCount(conn, toCount)) return false;
            takeNews();
        }
        if (watchAnew) {
            if (!accountWatch(conn, folders)) return false;
            takeNews();
        }
        return readNewest();
    }

    // Out of IDLE, reads who wrote the newest new message of each folder
    // whose new count rose, then stores its counts: the notify command,
    // which a rise runs, is told of that message. Then the connection
    // watches again what it watched, and counts what went untold meanwhile.
    bool readNewest() {
        if (rising.empty()) return true;
        if (!accountIdleDone(conn)) return false;
        std::vector<std::string> unheard;
        bool alive = true, shown = false;
        for (const auto& [folder, counts] : std::exchange(rising, {})) {
            MessageSummary newest;
            alive = alive && accountNewest(conn, folder, counts.messages, newest, unheard);
            shown = storeCounts(folder, counts, newest) || shown;
        }
        if (shown) wakeDisplay();
        if (!alive || !accountRewatch(conn, unheard)) return false;
        if (unheard.empty()) return true;
        if (!accountCount(conn, unheard)) return false;
        takeNews();
        return true;
    }

    // Stores the rises whose newest message cannot be read.
    void storeRising() {
        bool shown = false;
        for (const auto& [folder, counts] : std::exchange(rising, {}))
            shown = storeCounts(folder, counts, MessageSummary{}) || shown;
        if (shown) wakeDisplay();
    }

    // Stores what the server told into the boxes; gives the folders whose
    // news named only one count and whose other count is not known yet. The
    // counts of a folder whose new count rose wait in `rising` for its
    // newest message.
    std::vector<std::string> takeNews() {
        std::vector<std::string> unknown;
        bool shown = false;
        for (const FolderNews& news : conn.news) {
            // Not watched: nothing to do with it. INBOX may be watched under
            // two spellings.
            for (const std::string& folder : folders) {
                if (!isSameFolder(news.folder, folder)) continue;
                if (news.failure != NetFailure::none) {
                    known.erase(folder);
                    for (const auto& box : boxes)
                        if (box->folder.value_or("INBOX") == folder)
                            noteCheckFailure(*box, news.failure);
                    continue;
                }
                auto found = known.find(folder);
                ImapCounts counts;
                if (news.messages && news.unseen) {
                    counts = {*news.messages, *news.unseen};
                } else if (found != known.end()) {
                    counts = found->second;
                    if (news.messages) counts.messages = *news.messages;
                    if (news.unseen) counts.unseen = *news.unseen;
                } else {
                    unknown.push_back(folder);
                    continue;
                }
                known[folder] = counts;
                if (rises(folder, counts)) {
                    rising[folder] = counts;
                    continue;
                }
                rising.erase(folder);
                shown = storeCounts(folder, counts) || shown;
            }
        }
        conn.news.clear();
        if (shown) wakeDisplay();
        return unknown;
    }

    bool rises(const std::string& folder, const ImapCounts& counts) const {
        return std::any_of(boxes.begin(), boxes.end(), [&](const auto& box) {
            return box->folder.value_or("INBOX") == folder && imapCountRose(*box, counts.unseen);
        });
    }

    // True when a box's counts changed. `newest`, when given, was read for
    // a rise.
    bool storeCounts(const std::string& folder, const ImapCounts& counts,
                     const std::optional<MessageSummary>& newest = std::nullopt) {
        bool changed = false;
        for (const auto& box : boxes) {
            if (box->folder.value_or("INBOX") != folder) continue;
            imapKeepNewest(*box, counts.unseen, newest);
            changed = changed || box->newCount.load() != counts.unseen ||
                      box->totalCount.load() != counts.messages || box->counted.load() == 0;
            storeBoxCounts(*box, counts.unseen, counts.messages);
            noteCheckFailure(*box, NetFailure::none);
        }
        return changed;
    }

    Account& account;
    AccountConnection& conn;
    BoxList boxes;
    std::vector<std::string> folders;
    std::map<std::string, ImapCounts> known;   // by watched folder
    std::map<std::string, ImapCounts> rising;  // by watched folder
    Deadline renewAt{};
};

// The life of one account's connection: open, count, serve; after a drop,
// open again at the next pass or after the pause, whichever comes first.
void accountThread(std::shared_ptr<Account> account) {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    AccountTimings pace = accountTimings();
    auto retry = pace.firstRetry;
    Deadline retryAt = Clock::now();
    while (!account->stop) {
        if (Clock::now() < retryAt && !account->pass.exchange(false) &&
            !account->resync.exchange(false)) {
            account->wake.wait(retryAt);
            continue;
        }
        retryAt = Deadline::max();
        BoxList boxes = boxesOf(*account);
        if (boxes.empty()) continue;
        // A failure being waited out opens no connection: the next pass
        // looks again.
        bool held = false;
        for (const auto& box : boxes) held = checkHeldBack(*box) || held;
        if (held) continue;
        // What the pass or the change asked for, this connection does.
        account->pass = false;
        account->resync = false;
        AccountConnection conn;
        conn.imap.connection.stopFd = account->stopping.readFd();
        conn.newestPatience = {pace.newestWait, 3 * pace.newestWait};
        bool answered = false;
        if (accountOpen(conn, netAccount(*boxes.front()), credentialAsk(*boxes.front()))) {
            answered = Service(*account, conn).run();
            accountClose(conn);
        }
        if (account->stop) break;
        // Not even the first count came: every folder fails as the
        // connection did.
        if (!answered)
            for (const auto& box : boxes)
                noteCheckFailure(*box, connectionFailure(conn.imap.connection));
        if (answered) retry = pace.firstRetry;
        retryAt = Clock::now() + retry;
        retry = std::min(retry * 2, pace.longestRetry);
    }
    --running;
}

std::shared_ptr<Account> startAccount() {
    auto account = std::make_shared<Account>();
    if (!account->wake.open() || !account->stopping.open()) return nullptr;
    ++running;
    try {
        std::thread(accountThread, account).detach();
    } catch (const std::system_error&) {
        --running;
        return nullptr;
    }
    return account;
}

}  // namespace

void followAccounts(const BoxList& list) {
    bool wanted = settings::push.load() != 0 && settings::useThreads.load() != 0;
    std::map<AccountKey, BoxList> byAccount;
    if (wanted)
        for (const auto& box : list)
            if (box->type == BOX_IMAP) byAccount[keyOf(*box)].push_back(box);
    std::lock_guard guard(accountsLock);
    for (auto it = accounts.begin(); it != accounts.end();) {
        if (byAccount.count(it->first) != 0) {
            ++it;
            continue;
        }
        endAccount(*it->second);
        it = accounts.erase(it);
    }
    for (auto& [key, boxes] : byAccount) {
        std::shared_ptr<Account>& account = accounts[key];
        if (!account) {
            account = startAccount();
            if (account) account->startedByPass = true;
        }
        if (!account) {
            accounts.erase(key);  // its boxes are checked by workers
            continue;
        }
        std::lock_guard hold(account->boxesLock);
        if (account->boxes == boxes) continue;
        account->boxes = std::move(boxes);
        account->resync = true;
        account->wake.raise();
    }
}

bool accountConnectionCounts(const Box& box) {
    if (box.type != BOX_IMAP) return false;
    std::lock_guard guard(accountsLock);
    return accounts.count(keyOf(box)) != 0;
}

void accountConnectionsPass() {
    std::lock_guard guard(accountsLock);
    for (auto& [key, account] : accounts) {
        // Raised on a connection opening, it would come once the first
        // count is under way and ask for a second round of counts.
        if (std::exchange(account->startedByPass, false)) continue;
        account->pass = true;
        account->wake.raise();
    }
}

void endAccountConnections() {
    std::lock_guard guard(accountsLock);
    for (auto& [key, account] : accounts) endAccount(*account);
    accounts.clear();
}

AccountTimings accountTimings() {
    std::lock_guard guard(accountsLock);
    return timings;
}

// For the tests (tests/support/monitor_testing.h).
void setAccountTimings(AccountTimings pace) {
    std::lock_guard guard(accountsLock);
    timings = pace;
}

// For the tests (tests/support/monitor_testing.h).
int accountThreadsRunning() { return running.load(); }

// For the tests (tests/support/monitor_testing.h).
int accountConnectionsServing() { return serving.load(); }
