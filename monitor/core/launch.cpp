#include "monitor/core/launch.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/signals.h"

extern char** environ;

int launchCommand(std::optional<std::string_view> command,
                  std::optional<std::string_view> argument) {
    if (!command) return 1;
    // Build the line before forking: a child of a threaded process may only
    // call async-signal-safe functions, and malloc is not one of them.
    std::string_view tail = argument.value_or("");
    std::size_t size = command->size() + 1 + tail.size() + 1;
    char* line = static_cast<char*>(allocOrExit(size));
    std::snprintf(line, size, "%.*s %.*s", static_cast<int>(command->size()), command->data(),
                  static_cast<int>(tail.size()), tail.data());

    pid_t child = fork();
    if (child < 0) {
        std::free(line);
        return -1;
    }
    if (child == 0) {
        // The grandchild is adopted by init; the child exits at once, and the
        // ignored SIGCHLD with SA_NOCLDWAIT leaves no zombie of it.
        if (fork() == 0) {
            restoreSignalsForCommand();
            char shell[] = "sh";
            char flag[] = "-c";
            char* arguments[] = {shell, flag, line, nullptr};
            execve("/bin/sh", arguments, environ);
        }
        _exit(0);
    }
    std::free(line);
    return 0;
}

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}
