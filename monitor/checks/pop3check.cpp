#include "monitor/checks/pop3check.h"

#include <memory>
#include <utility>

#include "common/clock.h"
#include "monitor/accounts/account.h"
#include "monitor/accounts/credentials.h"
#include "monitor/net/pop3client.h"

int pop3Check(Box& box, int64_t now) {
    if (!accountCheckDue(box, now)) return 0;
    // A failure being waited out sends nothing, and opens no connection.
    if (checkHeldBack(box)) return 0;
    std::unique_ptr<Pop3Conn> conn = pop3New();
    if (!conn) return 0;
    box.timeStamp = wallClockNow();

    int result = 0;
    if (pop3Connect(*conn, box.path, box.port) != 0 ||
        pop3SignIn(*conn, netAccount(box), credentialAsk(box)) != 0) {
        // A failed step drops the connection without a goodbye.
        connectionClose(conn->connection);
    } else {
        noteAccountAnswered(box);
        if (pop3Stat(*conn) != 1) {
            connectionClose(conn->connection);
        } else {
            // Only new mail is news: its last message is the newest.
            MessageSummary newest;
            if (conn->newCount > 0 && conn->totalCount > 0)
                newest = pop3Top(*conn, conn->totalCount);
            pop3Quit(*conn);
            setNewestMessage(box, std::move(newest));
            result = storeAccountCounts(box, pop3GetNew(conn.get()), pop3GetTotal(conn.get()));
        }
    }
    noteCheckFailure(box, result == 1 ? NetFailure::none : connectionFailure(conn->connection));
    pop3Free(conn);
    return result;
}
