#include "monitor/state/boxes.h"
#include "tests/support/monitor_testing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/definition.h"

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
    struct Case {
        std::string definition;
        std::string message;
    } cases[] = {
        {"MBOX", "Invalid Mail box parameters !\n"},
        {"", "Invalid Mail box parameters !\n"},
        {"MBOX /no/such/file", "Mail box '/no/such/file' does not exist !\n"},
        {"MBOX /no/such/file:5", "Mail box '/no/such/file' does not exist !\n"},
        {"WHATEVER /no/such", "Mail box '/no/such' does not exist !\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.definition);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(parseDefinition(c.definition));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
}

// Each word is taken whole up to its limit; one character more refuses the
// box, never cuts the word, and the warning names the word and its limit.
TEST_F(Boxes, WordsUpToTheirLimitsAreTakenWholeLongerOnesNamed) {
    // A Maildir deep under a home directory, 300 characters long.
    std::filesystem::path deep = directory;
    while (deep.string().size() < 300) deep /= std::string(40, 'd');
    std::filesystem::create_directories(deep);
    auto warning = [](const std::string& word, int limit) {
        return "quorvik warning : mail box " + word + " is longer than " + std::to_string(limit) +
               " characters\n";
    };
    struct Case {
        std::string definition;
        std::string message;  // empty: taken
    } cases[] = {
        {"IMAP mail.example-corp.org:993 firstname.lastname@mail.example-corp.org " +
             std::string(64, 'p'),
         ""},
        {"MAILDIR " + deep.string(), ""},
        {"NINELETTR " + mbox, ""},
        {"TENLETTERS " + mbox, warning("type", 9)},
        {"POP3 " + std::string(1023, 'h'), ""},
        {"POP3 " + std::string(1024, 'h'), warning("server or path", 1023)},
        {"IMAP host " + std::string(254, 'u'), ""},
        {"IMAP host " + std::string(255, 'u'), warning("user name", 254)},
        {"POP3 host user " + std::string(255, 'p'), ""},
        {"POP3 host user " + std::string(256, 'p'), warning("password", 255)},
        {"IMAP host user pw " + std::string(255, 'f'), ""},
        {"IMAP host user pw " + std::string(256, 'f'), warning("folder", 255)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.definition.substr(0, 60));
        testing::internal::CaptureStderr();
        auto box = parseDefinition(c.definition);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(box != nullptr, c.message.empty());
        if (!box) continue;
        std::vector<std::string> words = splitWords(c.definition, 5);
        words.resize(5);
        EXPECT_EQ(box->path, words[1].substr(0, words[1].find(':')));
        EXPECT_EQ(box->user.value_or(""), words[2]);
        EXPECT_EQ(boxPassword(*box), words[3]);
        if (box->type == BOX_IMAP && !words[4].empty()) EXPECT_EQ(box->folder, words[4]);
    }
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
