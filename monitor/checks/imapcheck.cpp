#include "monitor/checks/imapcheck.h"

#include <memory>
#include <string_view>
#include <utility>

#include "common/clock.h"
#include "common/text.h"
#include "monitor/accounts/account.h"
#include "monitor/accounts/credentials.h"
#include "monitor/net/imapclient.h"

bool imapCountRose(const Box& box, int32_t unseen) {
    return box.counted.load() && unseen > box.newCount.load();
}

void imapKeepNewest(Box& box, int32_t unseen, const std::optional<MessageSummary>& read) {
    if (read)
        setNewestMessage(box, *read);
    else if (unseen < box.newCount.load())
        setNewestMessage(box, {});
}

int imapCheck(Box& box, int64_t now) {
    if (!accountCheckDue(box, now)) return 0;
    // A failure being waited out sends nothing, and opens no connection.
    if (checkHeldBack(box)) return 0;
    std::unique_ptr<ImapConn> conn = imapNew();
    if (!conn) return 0;
    box.timeStamp = wallClockNow();

    int result = 0;
    if (imapConnect(*conn, box.path, box.port) != 0) {
        connectionClose(conn->connection);
        conn->tag.clear();
    } else if (imapSignIn(*conn, netAccount(box), credentialAsk(box)) != 0) {
        imapLogout(*conn);
    } else {
        int status = imapStatus(*conn, box.folder);
        // A rise costs three round trips more: EXAMINE, SEARCH and FETCH.
        std::optional<MessageSummary> newest;
        if (status == 0 && imapCountRose(box, conn->unseen)) {
            ImapLineReader reader;
            auto ignore = [](std::string_view) {};
            MessageSummary read;
            if (equalsNoCase(imapExamine(*conn, reader, box.folder.value_or("INBOX"), ignore,
                                         conn->patience),
                             "OK") &&
                imapReadNewest(*conn, reader, false, conn->messages, ignore, conn->patience, read))
                newest = read;
            else
                newest.emplace();
        }
        imapLogout(*conn);
        noteAccountAnswered(box);
        if (status == 0) {
            imapKeepNewest(box, conn->unseen, newest);
            result =
                storeAccountCounts(box, imapGetUnseen(conn.get()), imapGetMessages(conn.get()));
        }
    }
    noteCheckFailure(box, result == 1 ? NetFailure::none : connectionFailure(conn->connection));
    return result;
}
