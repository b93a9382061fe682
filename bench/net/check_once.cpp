// One full check of one network box, as the monitor makes it, then exit:
//   quorvik-net-check 'IMAP localhost:993 alice secret [FOLDER]'
//   quorvik-net-check 'IMAP localhost:993 alice' password|token COMMAND
// The second form signs in with PasswordCommand or TokenCommand set to the
// command. Prints "NEW TOTAL" and exits 0 when the box was counted, 1
// otherwise.

#include <signal.h>

#include <cstdio>

#include <string_view>

#include "monitor/checks/check.h"
#include "monitor/core/boxes.h"
#include "monitor/core/options.h"

int main(int argc, char** argv) {
    bool withCommand = argc == 4 && (std::string_view{argv[2]} == "password" ||
                                     std::string_view{argv[2]} == "token");
    if (argc != 2 && !withCommand) {
        std::fputs(
            "usage: quorvik-net-check 'TYPE HOST[:PORT] USER PASSWORD [FOLDER]'\n"
            "       quorvik-net-check 'TYPE HOST[:PORT] USER' password|token COMMAND\n",
            stderr);
        return 2;
    }
    if (withCommand) {
        TextSetting& command = std::string_view{argv[2]} == "password" ? settings::passwordCommand
                                                                       : settings::tokenCommand;
        command.reset(argv[3]);
    }
    // As in the monitor: no zombie of the commands' helper processes, and
    // no signal from a server that has gone.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGCHLD, &ignore, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::shared_ptr<Box> box = parseDefinition(argv[1]);
    if (!box || checkBox(*box) != 1) return 1;
    std::printf("%d %d\n", box->newCount.load(), box->totalCount.load());
    return 0;
}
