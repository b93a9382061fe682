#include "monitor/cycle/launch.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/alloc.h"
#include "common/signals.h"
#include "monitor/state/commandenv.h"

int launchCommand(std::optional<std::string_view> command, std::optional<std::string_view> argument,
                  std::vector<std::string> variables) {
    if (!command) return 1;
    CommandEnvironment environment = commandEnvironment(std::move(variables));
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
            execve("/bin/sh", arguments, environment.data());
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

namespace {

int32_t atLeastZero(int32_t count) { return count > 0 ? count : 0; }

}  // namespace

int32_t latestRisenBox(const BoxList& list) {
    int32_t position = 0, latest = 0;
    uint64_t latestRise = 0;
    for (const auto& box : list) {
        ++position;
        if (box->newCount.load() > 0 && (latest == 0 || box->risenAt.load() > latestRise)) {
            latest = position;
            latestRise = box->risenAt.load();
        }
    }
    return latest;
}

std::vector<std::string> mailVariables(const BoxList& list, int32_t position) {
    int64_t allNew = 0, total = 0;
    for (const auto& box : list) {
        allNew += atLeastZero(box->newCount.load());
        total += atLeastZero(box->totalCount.load());
    }
    auto boxOf = [&](int32_t at) {
        return at >= 1 && at <= boxCount(list) ? list[static_cast<std::size_t>(at - 1)].get()
                                               : nullptr;
    };
    const Box* chosen = boxOf(position);
    std::vector<std::string> variables{"QUORVIK_BOX=" +
                                       std::to_string(chosen != nullptr ? position : 0)};
    if (chosen != nullptr) {
        for (std::string& variable : boxVariables(*chosen))
            variables.push_back(std::move(variable));
        variables.push_back("QUORVIK_NEW=" + std::to_string(atLeastZero(chosen->newCount.load())));
        variables.push_back("QUORVIK_TOTAL=" +
                            std::to_string(atLeastZero(chosen->totalCount.load())));
    } else {
        variables.push_back("QUORVIK_NEW=" + std::to_string(allNew));
        variables.push_back("QUORVIK_TOTAL=" + std::to_string(total));
    }
    variables.push_back("QUORVIK_ALL_NEW=" + std::to_string(allNew));
    const Box* newestOf = chosen != nullptr ? chosen : boxOf(latestRisenBox(list));
    if (newestOf != nullptr && newestOf->newCount.load() > 0) {
        MessageSummary newest = newestMessage(*newestOf);
        if (!newest.from.empty()) variables.push_back("QUORVIK_FROM=" + newest.from);
        if (!newest.subject.empty()) variables.push_back("QUORVIK_SUBJECT=" + newest.subject);
    }
    return variables;
}
