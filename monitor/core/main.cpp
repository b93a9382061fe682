// quorvik: start-up and the main loop.

#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "common/alloc.h"
#include "common/home.h"
#include "monitor/core/boxes.h"
#include "monitor/core/options.h"

int main(int argc, char** argv) {
    installOutOfMemoryHandler();

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGCHLD, &ignore, nullptr);
    // A server that closes its end must not kill the monitor on the next write.
    signal(SIGPIPE, SIG_IGN);

    scanCommandLine(optionTable(), argc, argv);
    rebuildBoxList(0);
    if (!rcFilePath.isSet()) rcFilePath.reset(homeDirectory() + "/.quorvikrc");

    return 0;
}
