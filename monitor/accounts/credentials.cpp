#include "monitor/accounts/credentials.h"
#include "monitor/accounts/accountstesting.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "common/clock.h"
#include "monitor/accounts/account.h"
#include "monitor/net/connection.h"
#include "monitor/state/options.h"

namespace {

// The pause after a failed command: the first until the next pass (a check
// delay), then twice as long each time up to this.
constexpr int64_t longestCommandPause = 30 * 60;
// The pause after a refused password of the rc file, and its longest.
constexpr int64_t firstPasswordPause = 5 * 60;
constexpr int64_t longestPasswordPause = 60 * 60;

enum Which { tokenRun = 0, passwordRun = 1 };
constexpr const char* whichName[] = {"token", "password"};

// One command's runs for an account: at most one at a time; those that need
// it meanwhile wait and take what it gave.
struct RunSlot {
    bool running = false;
    uint64_t ended = 0;  // runs ended so far
    int waiting = 0;
    // What the last run gave, kept only while someone waits for it.
    std::shared_ptr<const CommandRun> last;
};

struct Account {
    std::mutex lock;  // guards everything here; never held while a command runs
    std::condition_variable runEnded;
    RunSlot slots[2];
    SecretText password;               // kept from PasswordCommand
    std::vector<std::string> printed;  // the warnings of the last sign-in
    int commandFailures = 0;           // in a row
    int64_t commandPausedUntil = 0;
    int passwordRefusals = 0;  // of the box's own password, in a row
    int64_t passwordPausedUntil = 0;
};

std::mutex accountsLock;
std::map<std::string, std::shared_ptr<Account>>& accounts =
    *new std::map<std::string, std::shared_ptr<Account>>;

std::shared_ptr<Account> accountOf(const Box& box) {
    std::lock_guard guard(accountsLock);
    std::shared_ptr<Account>& account = accounts[accountName(box)];
    if (!account) account = std::make_shared<Account>();
    return account;
}

// A command that exits non-zero or prints nothing says "not for this
// account": worth a word only when nothing else gives a credential. A shell
// that cannot find or run the command (127, 126) is a fault all the same.
bool isRefusal(const CommandRun& run) {
    return (run.status == CommandRun::Status::exited && run.code != 126 && run.code != 127) ||
           run.status == CommandRun::Status::silent;
}

std::string seconds(std::chrono::milliseconds time) {
    auto count = (time.count() + 999) / 1000;
    return std::to_string(count) + (count == 1 ? " second" : " seconds");
}

std::string describeRun(Which which, const CommandRun& run, const std::string& account) {
    std::string said =
        "quorvik warning : the " + std::string(whichName[which]) + " command for " + account;
    switch (run.status) {
    case CommandRun::Status::secret:
        return "";
    case CommandRun::Status::exited:
        return said + " exited with status " + std::to_string(run.code) + "\n";
    case CommandRun::Status::signalled:
        return said + " was ended by signal " + std::to_string(run.code) + "\n";
    case CommandRun::Status::silent:
        return said + " printed nothing\n";
    case CommandRun::Status::timedOut:
        return said + " was stopped after " + seconds(credentialCommandLimit()) + "\n";
    case CommandRun::Status::flooded:
        return said + " printed more than " + std::to_string(secretOutputLimit) + " bytes\n";
    case CommandRun::Status::badText:
        return said + (which == tokenRun
                           ? " printed a control character in its first line\n"
                           : " printed a carriage return or a NUL in its first line\n");
    case CommandRun::Status::notStarted:
        return said + " could not be started\n";
    }
    return "";
}

bool isPrintable(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool isNetworkBox(const Box& box) {
    return box.type == BOX_POP3 || box.type == BOX_HOTMAIL || box.type == BOX_IMAP;
}

// Prints the warnings that the account has not printed yet, and counts them
// as printed. Called with the account's lock held.
void printNew(Account& account, const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings) {
        if (std::find(account.printed.begin(), account.printed.end(), warning) !=
            account.printed.end())
            continue;
        std::fputs(warning.c_str(), stderr);
        account.printed.push_back(warning);
    }
}

CommandRun copyOf(const CommandRun& run) {
    CommandRun copy;
    copy.status = run.status;
    copy.code = run.code;
    copy.secret = SecretText{run.secret.view()};
    return copy;
}

// Runs the command for the account, or, while a run of it is going on,
// waits for that run and takes what it gave. The lock is held on entry and
// on return, never while the command runs.
CommandRun runOnce(Account& account, std::unique_lock<std::mutex>& held, Which which,
                   const std::string& command, const Box& box, const std::string& name) {
    RunSlot& slot = account.slots[which];
    if (slot.running) {
        uint64_t awaited = slot.ended + 1;
        ++slot.waiting;
        account.runEnded.wait(held, [&] { return slot.ended >= awaited; });
        CommandRun shared = slot.last ? copyOf(*slot.last) : CommandRun{};
        if (--slot.waiting == 0) slot.last.reset();
        return shared;
    }
    slot.running = true;
    held.unlock();
    CommandRun run = runCredentialCommand(command, box, [&] {
        std::fputs(("quorvik warning : the " + std::string(whichName[which]) + " command for " +
                    name + " is still running after " + seconds(credentialCommandWarning()) + "\n")
                       .c_str(),
                   stderr);
    });
    // A token is base64 or the like: a control character would break the
    // fields of the SASL message.
    if (which == tokenRun && run.status == CommandRun::Status::secret &&
        !isPrintable(run.secret.view())) {
        run.secret.clear();
        run.status = CommandRun::Status::badText;
    }
    held.lock();
    slot.running = false;
    ++slot.ended;
    if (slot.waiting > 0) slot.last = std::make_shared<const CommandRun>(copyOf(run));
    account.runEnded.notify_all();
    return run;
}

int64_t doubled(int64_t first, int times, int64_t longest) {
    return std::min(longest, first << std::min(times, 20));
}

void pauseCommands(Account& account) {
    int64_t first = std::max<int64_t>(1, settings::checkDelay.load());
    account.commandPausedUntil =
        wallClockNow() + doubled(first, account.commandFailures++, longestCommandPause);
}

}  // namespace

bool takesCommandCredential(const Box& box) {
    if (!isNetworkBox(box)) return false;
    if (!boxPassword(box).empty() && boxPassword(box) != "-") return false;
    return settings::passwordCommand.isSet() || settings::tokenCommand.isSet();
}

bool mayUseToken(const Box& box) {
    return takesCommandCredential(box) && settings::tokenCommand.isSet();
}

bool signInHeld(const Box& box) {
    std::shared_ptr<Account> account = accountOf(box);
    std::lock_guard guard(account->lock);
    int64_t now = wallClockNow();
    if (!takesCommandCredential(box)) return now < account->passwordPausedUntil;
    return account->password.empty() && now < account->commandPausedUntil;
}

bool checkHeldBack(Box& box) {
    if (!signInHeld(box) && !accountPaused(box)) return false;
    noteCheckHeld(box);
    return true;
}

void endCredentialPauses() {
    std::lock_guard guard(accountsLock);
    for (auto& [name, account] : accounts) {
        std::lock_guard hold(account->lock);
        account->commandFailures = account->passwordRefusals = 0;
        account->commandPausedUntil = account->passwordPausedUntil = 0;
    }
}

Credential chooseCredential(const Box& box, const SaslOffer& offer) {
    Credential credential;
    if (!takesCommandCredential(box)) {
        credential.secret = SecretText{boxPassword(box)};
        return credential;
    }
    std::string name = accountName(box);
    std::shared_ptr<Account> account = accountOf(box);
    std::unique_lock held(account->lock);
    if (account->password.empty() && wallClockNow() < account->commandPausedUntil) {
        credential.source = CredentialSource::held;
        return credential;
    }
    std::vector<std::string> refusals;
    bool ran = false;
    auto note = [&](Which which, const CommandRun& run) {
        ran = true;
        std::string warning = describeRun(which, run, name);
        if (isRefusal(run)) {
            refusals.push_back(warning);
            return;
        }
        // A fault is told the moment its run ends.
        printNew(*account, {warning});
        credential.warnings.push_back(warning);
    };

    if (std::optional<std::string> command = settings::tokenCommand.get()) {
        SaslMechanism mechanism = chooseOAuthMechanism(offer);
        if (mechanism == SaslMechanism::none) {
            refusals.push_back("quorvik warning : the server of " + name +
                               " offers neither OAUTHBEARER nor XOAUTH2\n");
        } else {
            // Tokens expire, and refreshing them is the command's business:
            // it runs before every sign-in.
            CommandRun run = runOnce(*account, held, tokenRun, *command, box, name);
            if (run.status == CommandRun::Status::secret) {
                credential.source = CredentialSource::tokenCommand;
                credential.mechanism = mechanism;
                credential.secret = std::move(run.secret);
                return credential;
            }
            note(tokenRun, run);
        }
    }
    // A server that takes no password on this link is not asked about one.
    std::optional<std::string> command = settings::passwordCommand.get();
    if (command && !offer.loginDisabled) {
        if (account->password.empty()) {
            CommandRun run = runOnce(*account, held, passwordRun, *command, box, name);
            if (run.status == CommandRun::Status::secret) {
                if (account->password.empty()) account->password = std::move(run.secret);
            } else if (account->password.empty()) {
                note(passwordRun, run);
            }
        }
        if (!account->password.empty()) {
            credential.source = CredentialSource::passwordCommand;
            credential.secret = SecretText{account->password.view()};
            return credential;
        }
    }
    // Nothing gave a credential: now the commands' "not for this account"
    // are worth a word too.
    printNew(*account, refusals);
    credential.warnings.insert(credential.warnings.end(), refusals.begin(), refusals.end());
    if (!ran) {
        credential.source = CredentialSource::none;
        return credential;
    }
    credential.source = CredentialSource::failed;
    pauseCommands(*account);
    return credential;
}

void reportSignIn(const Box& box, Credential& credential, SignInVerdict verdict) {
    credential.secret.clear();
    // Without a credential nothing was sent, so nothing was judged.
    if (!credential.maySignIn()) verdict = SignInVerdict::undecided;
    std::string name = accountName(box);
    std::shared_ptr<Account> account = accountOf(box);
    std::lock_guard guard(account->lock);
    std::vector<std::string> warnings = std::move(credential.warnings);
    if (credential.source == CredentialSource::box) {
        if (verdict == SignInVerdict::accepted) {
            account->passwordRefusals = 0;
            account->passwordPausedUntil = 0;
        } else if (verdict == SignInVerdict::refused) {
            // A wrong password sent at every check locks accounts: it waits
            // until the user has had time to change it.
            int64_t pause =
                doubled(firstPasswordPause, account->passwordRefusals++, longestPasswordPause);
            account->passwordPausedUntil = wallClockNow() + pause;
            std::fprintf(stderr,
                         "quorvik warning : the server refused the password for %s: it is sent "
                         "again in %lld minutes, or once the rc file changes\n",
                         name.c_str(), static_cast<long long>(pause / 60));
        }
        return;
    }
    if (verdict == SignInVerdict::accepted) {
        account->commandFailures = 0;
        account->commandPausedUntil = 0;
    } else if (verdict == SignInVerdict::refused) {
        if (credential.source == CredentialSource::passwordCommand) {
            // Asked again once the pause is over: the user may have changed it.
            account->password.clear();
            warnings.push_back("quorvik warning : the server refused the password for " + name +
                               "\n");
        } else if (credential.source == CredentialSource::tokenCommand) {
            warnings.push_back("quorvik warning : the server refused the token for " + name + "\n");
        }
        pauseCommands(*account);
    }
    printNew(*account, warnings);
    // No verdict ends no trouble: what was said stays said. A verdict makes
    // this sign-in's warnings the ones to compare with next time.
    if (verdict != SignInVerdict::undecided) account->printed = std::move(warnings);
}

CredentialAsk credentialAsk(const Box& box) {
    CredentialAsk ask;
    ask.passwordFits = isSingleLine(boxPassword(box));
    ask.mayUseToken = mayUseToken(box);
    ask.choose = [&box](const SaslOffer& offer) { return chooseCredential(box, offer); };
    ask.report = [&box](Credential& credential, SignInVerdict verdict, NetFailure failure) {
        if (failure == NetFailure::tooManyConnections) noteConnectionLimit(box);
        reportSignIn(box, credential, verdict);
    };
    return ask;
}

int credentialRunWaiters(const Box& box) {
    std::shared_ptr<Account> account = accountOf(box);
    std::lock_guard guard(account->lock);
    return account->slots[tokenRun].waiting + account->slots[passwordRun].waiting;
}

void forgetCredentials() {
    std::lock_guard guard(accountsLock);
    accounts.clear();
}
