// What reading who wrote the newest new message costs, beside the count it
// follows, on one signed-in connection, the two taking turns:
//   quorvik-newest-cost 'POP3 localhost:995 alice secret' RUNS
//   quorvik-newest-cost 'IMAP localhost:993 alice secret' RUNS
// POP3: STAT and LAST (the count, as without the reading), then TOP of the
// last message. IMAP: STATUS (the count), then EXAMINE, UID SEARCH and UID
// FETCH of the header fields, once with the search among the last 500
// messages (the check without a kept connection) and once with ESEARCH's MAX
// (the kept connection, where the server offers it). Prints one line a step:
// its name, the median and the 95th percentile in milliseconds, and whether
// the sender came back.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/signals.h"
#include "monitor/accounts/account.h"
#include "monitor/accounts/credentials.h"
#include "monitor/net/imapclient.h"
#include "monitor/net/pop3client.h"
#include "monitor/state/boxes.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Step {
    const char* name;
    std::function<bool()> run;  // true when it worked
    std::vector<double> took;   // milliseconds
    bool worked = true;
};

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    std::size_t at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[at];
}

void timeInTurns(std::vector<Step>& steps, int runs) {
    for (Step& step : steps) step.worked = step.run();  // untimed: warms the server's caches
    for (int run = 0; run < runs; ++run) {
        for (Step& step : steps) {
            auto start = Clock::now();
            step.worked = step.run() && step.worked;
            step.took.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    for (const Step& step : steps)
        std::printf("%s\t%.3f\t%.3f\t%s\n", step.name, percentile(step.took, 0.5),
                    percentile(step.took, 0.95), step.worked ? "yes" : "no");
}

int pop3Cost(const Box& box, int runs) {
    Pop3Conn conn;
    if (pop3Connect(conn, box.path, box.port) != 0 ||
        pop3SignIn(conn, netAccount(box), credentialAsk(box)) != 0)
        return 1;
    std::vector<Step> steps{
        {"count (STAT, LAST)", [&] { return pop3Stat(conn) == 1; }, {}},
        {"sender and subject (TOP n 0)",
         [&] { return !pop3Top(conn, conn.totalCount).from.empty(); },
         {}},
    };
    timeInTurns(steps, runs);
    pop3Quit(conn);
    return 0;
}

int imapCost(const Box& box, int runs) {
    ImapConn conn;
    if (imapConnect(conn, box.path, box.port) != 0 ||
        imapSignIn(conn, netAccount(box), credentialAsk(box)) != 0)
        return 1;
    ImapLineReader reader;
    auto ignore = [](std::string_view) {};
    std::string folder = box.folder.value_or("INBOX");
    auto readNewest = [&](bool esearch) {
        MessageSummary newest;
        return imapExamine(conn, reader, folder, ignore, conn.patience) == "OK" &&
               imapReadNewest(conn, reader, esearch, conn.messages, ignore, conn.patience,
                              newest) &&
               !newest.from.empty();
    };
    std::vector<Step> steps{
        {"count (STATUS)", [&] { return imapStatus(conn, folder) == 0; }, {}},
        {"sender and subject (SEARCH)", [&] { return readNewest(false); }, {}},
        {"sender and subject (ESEARCH)", [&] { return readNewest(true); }, {}},
    };
    timeInTurns(steps, runs);
    imapLogout(conn);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: quorvik-newest-cost 'POP3|IMAP HOST[:PORT] USER PASSWORD' RUNS\n",
                   stderr);
        return 2;
    }
    ignoreChildrenAndBrokenPipes();
    std::shared_ptr<Box> box = parseDefinition(argv[1]);
    int runs = std::atoi(argv[2]);
    if (!box || runs < 1) return 2;
    if (box->type == BOX_IMAP) return imapCost(*box, runs);
    if (box->type == BOX_POP3) return pop3Cost(*box, runs);
    return 2;
}
