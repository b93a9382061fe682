// A thousand check cycles of every box type in one process: local stores
// that keep changing, and POP3, HOTMAIL and IMAP accounts on the tests'
// dovecot over plain, TLS and STARTTLS links. Built with AddressSanitizer,
// LeakSanitizer reports at exit whatever any of those paths lost.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "monitor/checks/check.h"
#include "monitor/cycle/cycle.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/monitor/net/dovecot_fixture.h"
#include "tests/support/monitor_testing.h"
#include "tests/support/scratch.h"

namespace {

std::atomic<int64_t> fakeNow{1'000'000};
int64_t readFakeNow() { return fakeNow.load(); }

}  // namespace

TEST(LeakCheck, ThousandCyclesOfEveryBoxType) {
    const std::string& dovecot = dovecotDirectory();
    scratch::Environment trust("SSL_CERT_DIR", dovecot + "/certs");
    scratch::Directory home;
    namespace fs = std::filesystem;
    fs::create_directories(home / "Maildir" / "new");
    fs::create_directories(home / "Maildir" / "cur");
    fs::create_directories(home / "Mail" / "inbox");
    scratch::writeFile(home / ".mh_profile", "Path: " + (home / "Mail").string() + "\n");
    scratch::Environment profile("MH", (home / ".mh_profile").string());
    scratch::writeFile(home / "Mail" / "inbox" / "1", "Subject: a\n\nbody\n");
    scratch::writeFile(home / "Mail" / "inbox" / ".mh_sequences", "unseen: 1\n");
    fs::path mbox = home / "mbox";
    scratch::writeFile(mbox, "From a\n\nnew\n");

    // The MH folder is named inside the profile's root; the box list admits
    // it when that name exists where the monitor runs.
    fs::current_path(home / "Mail");
    resetSettings();
    settings::useThreads = 0;
    for (const std::string& definition :
         {"MBOX " + mbox.string(), "MAILDIR " + (home / "Maildir").string(),
          std::string("MH inbox"), std::string("POP3 localhost alice secret"),
          std::string("POP3 localhost:995 alice secret"),
          std::string("HOTMAIL localhost alice secret"), std::string("IMAP localhost alice secret"),
          std::string("IMAP localhost:993 alice secret Work"),
          std::string("IMAP 127.0.0.2:220 bob pa\"ss\\word")})
        addDefinition(settings::boxDefinitions, definition);
    rebuildBoxList();
    ASSERT_EQ(boxCount(*boxListSnapshot()), 9);

    setWallClock(readFakeNow);
    int32_t messages = 1;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        // Network boxes are due every tenth cycle; the local stores change
        // every few cycles and are forced through the settling rule too.
        fakeNow += cycle % 10 == 0 ? 31 : 3;
        if (cycle % 3 == 0) {
            scratch::appendFile(mbox, "From b\nStatus: RO\n\nread\n");
            ++messages;
        }
        if (cycle % 5 == 0)
            scratch::writeFile(home / "Maildir" / "new" / ("m" + std::to_string(cycle)), "x\n");
        checkCycle(0);
    }
    // The mbox is told changed by its change time in whole seconds, and the
    // loop may have counted it early in the second of its last append: one
    // more message in a later second is counted with all the others.
    scratch::waitForNextSecond();
    scratch::appendFile(mbox, "From b\nStatus: RO\n\nread\n");
    ++messages;
    fakeNow += 3;
    checkCycle(0);
    setWallClock(nullptr);
    auto list = boxListSnapshot();
    // Every box was counted: the local ones from their files, alice's INBOX
    // and Work folders and bob's INBOX from dovecot.
    EXPECT_EQ((*list)[3]->totalCount, 5);
    EXPECT_EQ((*list)[4]->newCount, 5);
    EXPECT_EQ((*list)[5]->totalCount, 5);
    EXPECT_EQ((*list)[6]->newCount, 2);
    EXPECT_EQ((*list)[7]->newCount, 3);
    EXPECT_EQ((*list)[8]->totalCount, 1);
    EXPECT_EQ((*list)[2]->totalCount, 1);
    EXPECT_EQ((*list)[0]->totalCount, messages);
    EXPECT_EQ((*list)[0]->newCount, 1);
    clearBoxList();
    fs::current_path("/");
}
