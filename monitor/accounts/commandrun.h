#pragma once
// Running a password or token command: through /bin/sh, with a time limit
// and an output limit, leaving no process behind.

#include <chrono>
#include <functional>
#include <string_view>

#include "common/secret.h"
#include "monitor/state/boxes.h"

// One run of a credential command.
struct CommandRun {
    enum class Status {
        secret,      // exit status 0 and a first line: `secret`
        exited,      // a non-zero exit status: `code`
        signalled,   // ended by signal `code`
        silent,      // exit status 0 and nothing on the first line
        timedOut,    // stopped at the time limit, with its process group
        flooded,     // more than secretOutputLimit bytes; stopped
        badText,     // a CR or NUL in the first line
        notStarted,  // no pipe or process could be made
    };
    Status status = Status::notStarted;
    int code = 0;
    SecretText secret;
};

inline constexpr std::size_t secretOutputLimit = 4096;

// Runs the command through /bin/sh with the box's QUORVIK_TYPE,
// QUORVIK_SERVER, QUORVIK_PORT, QUORVIK_USER and QUORVIK_FOLDER in its
// environment, its standard input /dev/null, its standard error the
// monitor's. Waits for it at most the time limit, then kills its process
// group. Leaves no zombie, whether or not the process ignores SIGCHLD.
// `stillRunning`, when given, is called once if the command is still running
// at the warning time.
CommandRun runCredentialCommand(std::string_view command, const Box& box,
                                const std::function<void()>& stillRunning = {});

// The time limit of a run (two minutes), and when a run is said to be still
// running (ten seconds).
std::chrono::milliseconds credentialCommandLimit();
std::chrono::milliseconds credentialCommandWarning();
