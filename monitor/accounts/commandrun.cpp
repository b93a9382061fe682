#include "monitor/accounts/commandrun.h"
#include "monitor/accounts/accountstesting.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <optional>

#include "common/fd.h"
#include "common/signals.h"
#include "monitor/state/commandenv.h"

namespace {

using Clock = std::chrono::steady_clock;

// A command may be waiting on a person (a passphrase prompt): it is given
// two minutes, and said to be still running after ten seconds.
constexpr std::chrono::milliseconds defaultLimit{120000};
constexpr std::chrono::milliseconds defaultWarning{10000};
std::atomic<std::chrono::milliseconds::rep> limitMs{defaultLimit.count()};
std::atomic<std::chrono::milliseconds::rep> warningMs{defaultWarning.count()};

// The monitor ignores SIGCHLD with SA_NOCLDWAIT, so it can never learn the
// exit status of a child of its own. A middle process, forked from the
// thread that needs the secret, sets SIGCHLD back, runs the shell as its own
// child in a process group of its own, kills that group at the time limit or
// when asked to, and reports the status through a pipe. It exits at once
// after, and the monitor's SA_NOCLDWAIT (or the caller's waitpid) reaps it.
// Between fork and exec only async-signal-safe calls are made: everything
// they need is built beforehand.

enum class Ending : int32_t { exited, timedOut, stopped, notStarted };

struct Report {
    Ending ending = Ending::notStarted;
    int32_t status = 0;  // as waitpid gives it
};

// Everything the two children use, built before the fork.
struct Launch {
    std::string line;
    CommandEnvironment environment;
    char shell[3] = "sh";
    char flag[3] = "-c";
    char* arguments[4] = {};
    timespec limit{};
    int input = -1;   // /dev/null
    int output = -1;  // the write end of the output pipe
    int report = -1;  // the write end of the report pipe
    int stop = -1;    // the read end of the stop pipe
};

void noteChild(int) {}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// `later` minus `earlier`, or zero when `later` is not later.
timespec timeLeft(const timespec& later, const timespec& earlier) {
    timespec left{later.tv_sec - earlier.tv_sec, later.tv_nsec - earlier.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
    }
    if (left.tv_sec < 0) return timespec{};
    return left;
}

void reportAndExit(int fd, Ending ending, int status) {
    Report report{ending, status};
    ssize_t ignored = write(fd, &report, sizeof report);
    (void)ignored;
    _exit(0);
}

int waitForShell(pid_t shell) {
    int status = 0;
    while (waitpid(shell, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

[[noreturn]] void runShell(const Launch& launch) {
    setpgid(0, 0);
    // Lifted above 2 first: a monitor started with a standard descriptor
    // closed may hold a pipe end there, which dup2 would then clobber.
    int input = fcntl(launch.input, F_DUPFD_CLOEXEC, 3);
    int output = fcntl(launch.output, F_DUPFD_CLOEXEC, 3);
    if (input < 0 || output < 0) _exit(127);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    restoreSignalsForCommand();
    execve("/bin/sh", launch.arguments, launch.environment.data());
    _exit(127);
}

// The middle process never runs exec, so close-on-exec never acts in it:
// whatever the monitor held open when it forked, the stop pipes of the other
// commands running then among them, would stay open until the command ends.
// It keeps its own ends and the standard descriptors alone.
void closeAllBut(std::array<int, 4> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned int next = 3;
    for (int descriptor : keep) {
        if (descriptor < static_cast<int>(next)) continue;
        if (static_cast<unsigned int>(descriptor) > next)
            close_range(next, static_cast<unsigned int>(descriptor) - 1, 0);
        next = static_cast<unsigned int>(descriptor) + 1;
    }
    close_range(next, ~0U, 0);
}

[[noreturn]] void runMiddle(const Launch& launch) {
    // Once the monitor is gone, so is every write end of the stop pipe, and
    // the command goes with it instead of running on to its limit.
    closeAllBut({launch.input, launch.output, launch.report, launch.stop});
    struct sigaction child {};
    child.sa_handler = noteChild;
    sigemptyset(&child.sa_mask);
    sigaction(SIGCHLD, &child, nullptr);
    // SIGCHLD stays blocked but while waiting in ppoll, so that the shell's
    // end can never slip in between the look at it and the wait.
    sigset_t childSignal, waiting;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignal, &waiting);
    sigdelset(&waiting, SIGCHLD);

    pid_t shell = fork();
    if (shell < 0) reportAndExit(launch.report, Ending::notStarted, 0);
    if (shell == 0) runShell(launch);
    // Also here, so that a kill of the group can never come before the
    // shell has made it.
    setpgid(shell, shell);
    close(launch.output);

    timespec start = monotonicNow();
    timespec deadline{start.tv_sec + launch.limit.tv_sec, start.tv_nsec + launch.limit.tv_nsec};
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    for (;;) {
        int status = 0;
        if (waitpid(shell, &status, WNOHANG) == shell)
            reportAndExit(launch.report, Ending::exited, status);
        timespec left = timeLeft(deadline, monotonicNow());
        if (left.tv_sec == 0 && left.tv_nsec == 0) {
            // The shell is not reaped yet, so its group cannot be another's.
            kill(-shell, SIGKILL);
            reportAndExit(launch.report, Ending::timedOut, waitForShell(shell));
        }
        pollfd stop{launch.stop, POLLIN, 0};
        if (ppoll(&stop, 1, &left, &waiting) > 0) {
            kill(-shell, SIGKILL);
            reportAndExit(launch.report, Ending::stopped, waitForShell(shell));
        }
    }
}

FileDescriptor openPipe(FileDescriptor& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return FileDescriptor{};
    writeEnd.reset(ends[1]);
    return FileDescriptor{ends[0]};
}

// What came before the first line end, judged.
CommandRun judgeOutput(std::string_view output) {
    CommandRun run;
    std::string_view line = output.substr(0, output.find('\n'));
    if (line.empty()) {
        run.status = CommandRun::Status::silent;
    } else if (line.find_first_of(std::string_view{"\r\0", 2}) != std::string_view::npos) {
        run.status = CommandRun::Status::badText;
    } else {
        run.status = CommandRun::Status::secret;
        run.secret = SecretText{line};
    }
    return run;
}

}  // namespace

std::chrono::milliseconds credentialCommandLimit() {
    return std::chrono::milliseconds{limitMs.load()};
}

std::chrono::milliseconds credentialCommandWarning() {
    return std::chrono::milliseconds{warningMs.load()};
}

void setCredentialCommandLimit(std::chrono::milliseconds limit) {
    limitMs = limit.count() > 0 ? limit.count() : defaultLimit.count();
}

void setCredentialCommandWarning(std::chrono::milliseconds warning) {
    warningMs = warning.count() > 0 ? warning.count() : defaultWarning.count();
}

CommandRun runCredentialCommand(std::string_view command, const Box& box,
                                const std::function<void()>& stillRunning) {
    CommandRun failed;
    Launch launch;
    launch.line = std::string(command);
    launch.arguments[0] = launch.shell;
    launch.arguments[1] = launch.flag;
    launch.arguments[2] = launch.line.data();
    launch.environment = commandEnvironment(boxVariables(box));
    auto limit = std::chrono::milliseconds{limitMs.load()};
    launch.limit.tv_sec = static_cast<time_t>(limit.count() / 1000);
    launch.limit.tv_nsec = static_cast<long>(limit.count() % 1000 * 1000000);

    FileDescriptor outputWrite, reportWrite, stopWrite;
    FileDescriptor output = openPipe(outputWrite);
    FileDescriptor report = openPipe(reportWrite);
    FileDescriptor stopRead = openPipe(stopWrite);
    FileDescriptor input{open("/dev/null", O_RDONLY | O_CLOEXEC)};
    if (!output.isOpen() || !report.isOpen() || !stopRead.isOpen() || !input.isOpen())
        return failed;
    launch.input = input.get();
    launch.output = outputWrite.get();
    launch.report = reportWrite.get();
    launch.stop = stopRead.get();
    int flags = fcntl(output.get(), F_GETFL);
    if (flags < 0 || fcntl(output.get(), F_SETFL, flags | O_NONBLOCK) != 0) return failed;

    pid_t middle = fork();
    if (middle < 0) return failed;
    if (middle == 0) runMiddle(launch);
    // The stop pipe's read end stays open here too, so that asking a middle
    // process that has already gone raises no SIGPIPE.
    outputWrite.reset();
    reportWrite.reset();
    input.reset();

    // The middle process keeps the time limit; this wait only guards against
    // it never reporting at all.
    auto giveUp = Clock::now() + limit + std::chrono::seconds(5);
    auto warnAt =
        stillRunning ? Clock::now() + credentialCommandWarning() : Clock::time_point::max();
    char received[secretOutputLimit + 1];
    std::size_t total = 0;
    bool flooded = false, outputOpen = true, stopped = false;
    std::optional<Report> ending;
    auto stop = [&] {
        if (stopped || ending) return;
        stopped = true;
        ssize_t ignored = write(stopWrite.get(), "x", 1);
        (void)ignored;
    };
    auto readOutput = [&] {
        for (;;) {
            ssize_t got = read(output.get(), received + total, sizeof received - total);
            if (got > 0) {
                total += static_cast<std::size_t>(got);
                if (total > secretOutputLimit) {
                    flooded = true;
                    outputOpen = false;
                    stop();
                    return;
                }
                continue;
            }
            if (got == 0) outputOpen = false;
            if (got < 0 && errno == EINTR) continue;
            return;  // drained for now
        }
    };
    while (!ending) {
        if (Clock::now() >= warnAt) {
            warnAt = Clock::time_point::max();
            stillRunning();
        }
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(std::min(giveUp, warnAt) - Clock::now());
        if (Clock::now() >= giveUp) break;
        left = std::max(left, std::chrono::milliseconds(0));
        pollfd waits[2] = {{outputOpen ? output.get() : -1, POLLIN, 0}, {report.get(), POLLIN, 0}};
        int ready = poll(waits, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (waits[0].revents != 0) readOutput();
        if (waits[1].revents != 0) {
            Report got;
            ssize_t size = read(report.get(), &got, sizeof got);
            if (size == sizeof got)
                ending = got;
            else if (size == 0)
                break;  // the middle process is gone without a word
        }
    }
    // What the shell printed before it ended is all in the pipe by now;
    // whatever its background children print later is not looked at.
    if (ending && outputOpen) readOutput();

    CommandRun run;
    if (!ending) {
        stop();
        run.status = CommandRun::Status::timedOut;
    } else {
        // It reports just before it exits.
        while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (flooded) {
            run.status = CommandRun::Status::flooded;
        } else if (ending->ending == Ending::timedOut) {
            run.status = CommandRun::Status::timedOut;
        } else if (ending->ending == Ending::notStarted) {
            run.status = CommandRun::Status::notStarted;
        } else if (WIFSIGNALED(ending->status)) {
            run.status = CommandRun::Status::signalled;
            run.code = WTERMSIG(ending->status);
        } else if (WIFEXITED(ending->status) && WEXITSTATUS(ending->status) != 0) {
            run.status = CommandRun::Status::exited;
            run.code = WEXITSTATUS(ending->status);
        } else {
            run = judgeOutput({received, total});
        }
    }
    wipeBytes(received, sizeof received);
    return run;
}
