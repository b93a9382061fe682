#include "common/signals.h"

#include <signal.h>

void restoreSignalsForCommand() {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(SIGPIPE, &standard, nullptr);
    sigaction(SIGCHLD, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void ignoreChildrenAndBrokenPipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGCHLD, &ignore, nullptr);
    signal(SIGPIPE, SIG_IGN);
}
