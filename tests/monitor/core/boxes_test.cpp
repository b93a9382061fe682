#include "monitor/core/boxes.h"
#include "tests/support/monitor_testing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class Boxes : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        clearBoxList();
        directory =
            std::filesystem::temp_directory_path() / ("quorvik-boxes-" + std::to_string(getpid()));
        std::filesystem::create_directories(directory);
        mbox = (directory / "mbox").string();
        std::ofstream(mbox) << "From a\n";
    }
    void TearDown() override {
        resetSettings();
        clearBoxList();
        std::filesystem::remove_all(directory);
    }

    // Rebuilds from the definitions and returns what was printed.
    static std::string rebuild(std::initializer_list<std::string> definitions) {
        for (const auto& d : definitions) addDefinition(settings::boxDefinitions, d);
        testing::internal::CaptureStderr();
        rebuildBoxList();
        return testing::internal::GetCapturedStderr();
    }

    std::filesystem::path directory;
    std::string mbox;
};

}  // namespace

TEST_F(Boxes, DefinitionsParseByType) {
    struct Case {
        std::string definition;
        int32_t type;
        std::string path;
        int32_t port;
        std::optional<std::string> user, password, folder;
    } cases[] = {
        {"POP3", BOX_POP3, "", 110, {}, {}, {}},
        {"POP3 mail.example:2110 me secret", BOX_POP3, "mail.example", 2110, "me", "secret", {}},
        {"HOTMAIL pop.example", BOX_HOTMAIL, "pop.example", 1100, {}, {}, {}},
        {"IMAP host me pw", BOX_IMAP, "host", 143, "me", "pw", "INBOX"},
        {"IMAP host:0 me pw Lists/quorvik", BOX_IMAP, "host", 143, "me", "pw", "Lists/quorvik"},
        {"IMAP\thost:993 me pw\n", BOX_IMAP, "host", 993, "me", "pw", "INBOX"},
        {"IMAP h u p f extra words", BOX_IMAP, "h", 143, "u", "p", "f"},
        // An IPv6 address between brackets, whose colons are no port.
        {"IMAP [::1]:993 me pw", BOX_IMAP, "::1", 993, "me", "pw", "INBOX"},
        {"POP3 [2001:db8::5]", BOX_POP3, "2001:db8::5", 110, {}, {}, {}},
        {"HOTMAIL [fe80::1%eth0]:0", BOX_HOTMAIL, "fe80::1%eth0", 1100, {}, {}, {}},
        {"IMAP [::1]x:993", BOX_IMAP, "[", 143, {}, {}, "INBOX"},  // no bracketed form: as ever
        {"IMAP ::1:993", BOX_IMAP, "", 143, {}, {}, "INBOX"},
        {"mbox " + mbox, BOX_MBOX, mbox, 0, {}, {}, {}},
        {"MBOX " + mbox + ":5", BOX_MBOX, mbox, 5, {}, {}, {}},
        {"MAILDIR " + directory.string() + "/",
         BOX_MAILDIR,
         directory.string() + "/",
         0,
         {},
         {},
         {}},
        {"MH " + directory.string() + "/ ", BOX_MH, directory.string(), 0, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.definition);
        testing::internal::CaptureStderr();
        auto box = parseDefinition(c.definition);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_TRUE(box);
        EXPECT_EQ(box->type, c.type);
        EXPECT_EQ(box->path, c.path);
        EXPECT_EQ(box->port, c.port);
        EXPECT_EQ(box->user, c.user);
        EXPECT_EQ(box->password, c.password);
        EXPECT_EQ(box->folder, c.folder);
        EXPECT_EQ(box->newCount, 0);
        EXPECT_EQ(box->timeStamp, 0);
    }
}

TEST_F(Boxes, BadDefinitionsAreReportedAndRefused) {
    std::string longest(99, 'h');
    struct Case {
        std::string definition;
        std::string message;
    } cases[] = {
        {"MBOX", "Invalid Mail box parameters !\n"},
        {"", "Invalid Mail box parameters !\n"},
        {"MBOX /no/such/file", "Mail box '/no/such/file' does not exist !\n"},
        {"MBOX /no/such/file:5", "Mail box '/no/such/file' does not exist !\n"},
        {"WHATEVER /no/such", "Mail box '/no/such' does not exist !\n"},
        // Fields over their limits are refused, not cut.
        {"MAILDIRXYZ /tmp", "Invalid Mail box parameters !\n"},
        {"POP3 " + longest + "h", "Invalid Mail box parameters !\n"},
        {"POP3 host " + std::string(25, 'u'), "Invalid Mail box parameters !\n"},
        {"POP3 host user " + std::string(25, 'p'), "Invalid Mail box parameters !\n"},
        {"IMAP host user pw " + std::string(100, 'f'), "Invalid Mail box parameters !\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.definition);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(parseDefinition(c.definition));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
    testing::internal::CaptureStderr();
    EXPECT_TRUE(parseDefinition("POP3 " + longest + " " + std::string(24, 'u') + " " +
                                std::string(24, 'p')));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Boxes, RebuildCorrectsSettingsWithWarnings) {
    settings::checkDelay = 10;
    settings::interval = 0;
    settings::selectedBox = 4;
    EXPECT_EQ(rebuild({"POP3 a", "POP3 b", "POP3 c"}),
              "quorvik warning : check delay must be >= 15\n"
              "quorvik warning : interval must be >= 1\n"
              "quorvik warning : box-num must be >=0 and <=3\n");
    EXPECT_EQ(settings::checkDelay, 15);
    EXPECT_EQ(settings::interval, 1u);
    EXPECT_EQ(settings::selectedBox, 0);
    settings::checkDelay = -5;
    settings::selectedBox = -1;
    EXPECT_EQ(rebuild({}),
              "quorvik warning : check delay must be >= 15\n"
              "quorvik warning : box-num must be >=0 and <=3\n");
    settings::selectedBox = 3;
    EXPECT_EQ(rebuild({}), "");
    EXPECT_EQ(settings::selectedBox, 3);
}

TEST_F(Boxes, SameDefinitionTwiceGivesOneBox) {
    rebuild({"POP3 a", "POP3 a"});
    EXPECT_EQ(boxCount(*boxListSnapshot()), 1);
}

TEST_F(Boxes, AllInvalidDefinitionsKeepTheListInForce) {
    rebuild({"POP3 a", "POP3 b"});
    auto before = boxListSnapshot();
    EXPECT_EQ(rebuild({"MBOX", "MBOX /no/such"}),
              "Invalid Mail box parameters !\nMail box '/no/such' does not exist !\n");
    EXPECT_EQ(boxListSnapshot(), before);
    EXPECT_TRUE(settings::boxDefinitions.empty());
}

TEST_F(Boxes, BoxAtCountsFromOne) {
    rebuild({"POP3 a", "POP3 b"});
    EXPECT_EQ(boxAt(1)->path, "a");
    EXPECT_EQ(boxAt(2)->path, "b");
    EXPECT_FALSE(boxAt(0));
    EXPECT_FALSE(boxAt(3));
    EXPECT_FALSE(boxAt(-1));
}

TEST_F(Boxes, ReloadCarriesCountersOverToTheSameAccountOnly) {
    rebuild({"IMAP host alice pw", "IMAP host bob pw", "MBOX " + mbox});
    auto alice = boxAt(1);
    auto bob = boxAt(2);
    alice->newCount = 3;
    alice->totalCount = 10;
    alice->timeStamp = 1234;
    alice->settled = 1;
    alice->updated = 1;
    bob->newCount = 7;
    bob->totalCount = 70;
    boxAt(3)->newCount = 1;
    // A changed password keeps the account; another folder or port does not.
    rebuild({"IMAP host bob other", "IMAP host alice pw", "IMAP host alice pw Sent",
             "IMAP host:993 alice pw"});
    auto list = boxListSnapshot();
    ASSERT_EQ(boxCount(*list), 4);
    EXPECT_EQ((*list)[0]->newCount, 7);
    EXPECT_EQ((*list)[0]->totalCount, 70);
    EXPECT_EQ((*list)[1]->newCount, 3);
    EXPECT_EQ((*list)[1]->totalCount, 10);
    EXPECT_EQ((*list)[1]->timeStamp, 1234);
    EXPECT_EQ((*list)[1]->settled, 0);
    EXPECT_EQ((*list)[1]->updated, 0);
    EXPECT_EQ((*list)[2]->newCount, 0);
    EXPECT_EQ((*list)[3]->newCount, 0);
    // The old Boxes stay usable by whoever still holds them.
    EXPECT_EQ(alice->newCount, 3);
}
