// One full check of one network box, as the monitor makes it, then exit:
//   quorvik-net-check 'IMAP localhost:993 alice secret [FOLDER]'
// Prints "NEW TOTAL" and exits 0 when the box was counted, 1 otherwise.

#include <signal.h>

#include <cstdio>

#include "monitor/checks/check.h"
#include "monitor/core/boxes.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: quorvik-net-check 'TYPE HOST[:PORT] USER PASSWORD [FOLDER]'\n", stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::shared_ptr<Box> box = parseDefinition(argv[1]);
    if (!box || checkBox(*box) != 1) return 1;
    std::printf("%d %d\n", box->newCount.load(), box->totalCount.load());
    return 0;
}
