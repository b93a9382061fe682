#include "editor/rcmodel.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/editor/testfiles.h"

using editortest::dataDir;
using editortest::readFile;
using editortest::TempDir;
using editortest::writeFile;

namespace {

// The fixtures name their local boxes relative to the data directory.
class RcModel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(dataDir.c_str()), 0);
        resetEditorSettings();
    }
    void TearDown() override { resetEditorSettings(); }

    // Loads the file and returns what was printed on standard error.
    static std::string load(const std::string& path) {
        editorSettings().rcPath = path;
        ::testing::internal::CaptureStderr();
        loadRcFile();
        return ::testing::internal::GetCapturedStderr();
    }
};

struct Words {
    std::string type, path;
    std::optional<std::string> user, password, folder;
};

void expectEntries(const EntryList& list, const std::vector<Words>& expected) {
    ASSERT_EQ(list.size(), expected.size());
    auto it = list.begin();
    for (const Words& words : expected) {
        SCOPED_TRACE(words.type + " " + words.path);
        EXPECT_EQ(it->type, words.type);
        EXPECT_EQ(it->path, words.path);
        EXPECT_EQ(it->user, words.user);
        EXPECT_EQ(it->password, words.password);
        EXPECT_EQ(it->folder, words.folder);
        ++it;
    }
}

// Runs `body` in a forked child and gives its exit status. The child writes
// its messages to the test's standard error, captured or not.
int inChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct stat statOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status;
}

// Longer than the layout: a write in place must cut what is left of it.
const std::string longOldFile = std::string(1999, '#') + "\n";

}  // namespace

TEST_F(RcModel, LoadsEveryKey) {
    EXPECT_EQ(load(dataDir + "/every-key.rc"), "");
    const EditorSettings& s = editorSettings();
    EXPECT_EQ(s.Backlight, 1);
    EXPECT_EQ(s.Color, "#ff0000  ");  // trailing blanks belong to the value
    EXPECT_EQ(s.Interval, 7);         // digits followed by letters
    EXPECT_EQ(s.Command, "xterm -e mutt");
    EXPECT_EQ(s.Notify, "play ding.wav");
    EXPECT_EQ(s.Blink, 0);
    EXPECT_EQ(s.DefaultBox, 2);
    EXPECT_EQ(s.CheckDelay, 10);  // no range on reading
    EXPECT_EQ(s.RunOnce, 1);
    EXPECT_EQ(s.CheckSize, 1);
    EXPECT_EQ(s.UseThreads, 0);
    EXPECT_EQ(s.Push, 0);
    EXPECT_EQ(s.PasswordCommand, "pass show mail/imap");
    EXPECT_EQ(s.TokenCommand, "oauth2-token --account alice");
    expectEntries(s.entryList, {{"MBOX", "mbox-sample", "", "", ""},
                                {"POP3", "pop.example.org:2110", "bob", "hunter2", ""},
                                {"IMAP", "imap.example.org", "", "", ""},
                                {"IMAP", "mail.example.net:993", "alice", "-", "Lists"}});
}

TEST_F(RcModel, OddLinesAreSkippedOrReported) {
    std::string path = dataDir + "/odd-lines.rc";
    std::string expected = "Error in " + path + " at line 3 :\n[ Backlight = on].\n" + "Error in " +
                           path + " at line 4 :\n[backlight = on].\n" +
                           "Error in converting \"maybe\" to boolean value.\n"
                           "Invalid Mail box parameters !\n"
                           "Mail box 'no-such-mbox' does not exist !\n"
                           "Mail box 'mbox-sample:5' does not exist !\n" +
                           "Error in " + path + " at line 22 :\n[Unknown = 1].\n" + "Error in " +
                           path + " at line 23 :\n[  # indented hash = no comment].\n";
    EXPECT_EQ(load(path), expected);

    const EditorSettings& s = editorSettings();
    EXPECT_EQ(s.Backlight, 1);  // "Backlighting" belongs to the key
    EXPECT_EQ(s.Blink, 0);
    EXPECT_EQ(s.Interval, 0);  // "abc"; the empty values before it were skipped
    EXPECT_EQ(s.Color, "blue");
    EXPECT_EQ(s.Command, "\tmutt");  // only spaces are skipped after "="
    EXPECT_EQ(s.RunOnce, 1);         // last line, without a line feed
    EXPECT_EQ(s.CheckDelay, 30);
    // Missing local paths stay: an unmounted spool must survive a save.
    expectEntries(s.entryList, {{"POP3", "", "", "", ""},
                                {"MBOX", "no-such-mbox", "", "", ""},
                                {"FOO", "bar", "baz", "", ""},
                                {"IMAP", "imap.example.org:993", "alice", "pw", "Work"},
                                {"MBOX", "mbox-sample:5", "", "", ""},
                                {"POP3", "pop.example.org", "", "", ""}});
}

TEST_F(RcModel, LongLinesAndCarriageReturns) {
    TempDir dir;
    std::string path = dir.path("rc");
    std::string command(9990, 'a');
    writeFile(path, "Command = " + command + "\nNotify = beep\r\nBogus = 1\n");
    // 10000 bytes read as parts of 4095, 4095 and 1810: the third line is line 5.
    EXPECT_EQ(load(path), "Error in " + path + " at line 5 :\n[Bogus = 1].\n");
    EXPECT_EQ(editorSettings().Command, std::string(4085, 'a'));
    EXPECT_EQ(editorSettings().Notify, "beep\r");

    // The Mailbox line of the longest box definition is read in one part.
    const std::string server(1023, 'h'), user(254, 'u'), password(255, 'p'), folder(255, 'f');
    writeFile(path, "Mailbox = IMAP " + server + " " + user + " " + password + " " + folder + "\n");
    EXPECT_EQ(load(path), "");
    expectEntries(editorSettings().entryList, {{"IMAP", server, user, password, folder}});
}

TEST_F(RcModel, MissingFile) {
    TempDir dir;
    std::string other = dir.path("rc");
    EXPECT_EQ(load(other), "Unable to open configuration file \"" + other + "\".\n");
    EXPECT_EQ(load(dir.path(".quorvikrc")), "");  // the default file does not exist yet
    EXPECT_EQ(editorSettings().Interval, 1);
}

TEST_F(RcModel, SavesTheLayout) {
    TempDir dir;
    editorSettings().rcPath = dir.path("rc");
    ASSERT_TRUE(saveRcFile());
    EXPECT_EQ(readFile(dir.path("rc")), readFile(dataDir + "/defaults.saved"));

    resetEditorSettings();
    load(dataDir + "/every-key.rc");
    // An edited local box holds no user, password or folder.
    BoxEntry& mbox = editorSettings().entryList.front();
    mbox.user = mbox.password = mbox.folder = std::nullopt;
    editorSettings().rcPath = dir.path("rc");
    ASSERT_TRUE(saveRcFile());
    EXPECT_EQ(readFile(dir.path("rc")), readFile(dataDir + "/every-key.saved"));
}

TEST_F(RcModel, SavedFileLoadsBackUnchanged) {
    TempDir dir;
    load(dataDir + "/odd-lines.rc");
    editorSettings().rcPath = dir.path("first");
    ASSERT_TRUE(saveRcFile());
    resetEditorSettings();
    EXPECT_EQ(load(dir.path("first")),
              "Mail box 'no-such-mbox' does not exist !\n"
              "Mail box 'mbox-sample:5' does not exist !\n");
    editorSettings().rcPath = dir.path("second");
    ASSERT_TRUE(saveRcFile());
    EXPECT_EQ(readFile(dir.path("second")), readFile(dir.path("first")));
    // Keys the file did not have stay out of it.
    for (const char* key : {"UseThreads", "Push", "PasswordCommand", "TokenCommand"}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(readFile(dir.path("first")).find(key), std::string::npos);
    }
}

TEST(ParseBoolean, WordsAndFolding) {
    struct Case {
        std::string word;
        int value;
        std::string folded;
        std::string message;
    } cases[] = {
        {"1", 1, "1", ""},
        {"TRUE", 1, "true", ""},
        {"Yes", 1, "yes", ""},
        {"oN", 1, "on", ""},
        {"0", 0, "0", ""},
        {"False", 0, "false", ""},
        {"NO", 0, "no", ""},
        {"off", 0, "off", ""},
        {"Yes ", 0, "yes ", "Error in converting \"yes \" to boolean value.\n"},
        {"", 0, "", "Error in converting \"\" to boolean value.\n"},
        {"2", 0, "2", "Error in converting \"2\" to boolean value.\n"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE("word [" + c.word + "]");
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(parseBoolean(c.word), c.value);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(c.word, c.folded);
    }
}

TEST_F(RcModel, AddBoxEntryRules) {
    const std::string path1023(1023, 'h'), user254(254, 'u'), word255(255, 'p');
    auto overlong = [](const std::string& word, int limit) {
        return "Mail box " + word + " is longer than " + std::to_string(limit) + " characters !\n";
    };
    struct Case {
        std::string definition;
        MissingPath missing;
        bool added;
        std::string message;
    } cases[] = {
        {"MBOX mbox-sample", MissingPath::refuse, true, ""},
        {"MBOX mbox-sample", MissingPath::refuse, false, ""},  // duplicate
        {"MBOX   mbox-sample\t", MissingPath::refuse, false, ""},
        {"MBOX mbox-sample x", MissingPath::refuse, true, ""},
        {"MH .", MissingPath::refuse, true, ""},  // a directory opens too
        {"MBOX", MissingPath::refuse, false, "Invalid Mail box parameters !\n"},
        {"MAILDIR nowhere", MissingPath::refuse, false, "Mail box 'nowhere' does not exist !\n"},
        {"MAILDIR nowhere", MissingPath::keep, true, "Mail box 'nowhere' does not exist !\n"},
        {"POP3", MissingPath::refuse, true, ""},
        {"pop3 whatever", MissingPath::refuse, true, ""},  // not local: untested
        {"TENLETTERS host", MissingPath::refuse, false, overlong("type", 9)},
        {"NINELETTR host", MissingPath::refuse, true, ""},
        // Words at their limits are taken whole; one more character refuses them.
        {"IMAP " + path1023 + " " + user254 + " " + word255 + " " + word255, MissingPath::refuse,
         true, ""},
        {"IMAP " + path1023 + "h", MissingPath::refuse, false, overlong("server or path", 1023)},
        {"IMAP h " + user254 + "u", MissingPath::refuse, false, overlong("user name", 254)},
        {"IMAP h u " + word255 + "x", MissingPath::refuse, false, overlong("password", 255)},
        {"IMAP h u p " + word255 + "f", MissingPath::refuse, false, overlong("folder", 255)},
        {"IMAP h u p f " + word255 + word255, MissingPath::refuse, true, ""},  // sixth: ignored
    };
    EntryList list;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.definition.substr(0, 40));
        std::size_t before = list.size();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(addBoxEntry(list, c.definition, c.missing), c.added);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(list.size(), before + (c.added ? 1 : 0));
    }
    EXPECT_FALSE(addBoxEntry(list, std::nullopt));
    EXPECT_EQ(list.back().folder, "f");
    freeEntryList(list);
    EXPECT_TRUE(list.empty());
}

TEST_F(RcModel, SaveFailureKeepsTheOldFile) {
    TempDir dir;
    std::string path = dir.path("rc");
    writeFile(path, "Interval = 5\n");
    editorSettings().rcPath = path;
    for (int i = 0; i < 100; ++i)
        addBoxEntry(editorSettings().entryList, "POP3 host" + std::to_string(i) + " user pw");

    // A full disk: the file size limit stops the writes past 512 bytes.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 512;
    setrlimit(RLIMIT_FSIZE, &small);
    ::testing::internal::CaptureStderr();
    bool written = saveRcFile();
    std::string message = ::testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_FALSE(written);
    EXPECT_EQ(message, "Unable to open configuration file \"" + path + "\". File too large.\n");
    EXPECT_EQ(lastSaveFailure(),
              "Unable to open configuration file \"" + path + "\". File too large.");
    EXPECT_EQ(readFile(path), "Interval = 5\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"rc"});  // no temporary left

    // The rename fails: the path is a directory. Also for the default name.
    std::string directory = dir.path(".quorvikrc");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    editorSettings().rcPath = directory;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(saveRcFile());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Unable to open configuration file \"" + directory + "\". Is a directory.\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{".quorvikrc", "rc"}));

    editorSettings().rcPath = dir.path("no/such/dir/rc");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(saveRcFile());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unable to open configuration file \"" +
                                                            editorSettings().rcPath +
                                                            "\". No such file or directory.\n");
}

TEST_F(RcModel, SaveThroughAHardLinkKeepsBothNames) {
    TempDir dir;
    std::string path = dir.path("rc"), other = dir.path("rc-link");
    writeFile(path, longOldFile);
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    ino_t inode = statOf(path).st_ino;
    editorSettings().rcPath = other;
    ASSERT_TRUE(saveRcFile());
    const std::string layout = readFile(dataDir + "/defaults.saved");
    EXPECT_EQ(readFile(path), layout);
    EXPECT_EQ(readFile(other), layout);
    EXPECT_EQ(statOf(other).st_ino, inode);
    EXPECT_EQ(statOf(path).st_nlink, 2u);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"rc", "rc-link"}));
}

TEST_F(RcModel, SaveToAFileMountedOverItsName) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    TempDir dir;
    std::string real = dir.path("real"), path = dir.path("rc");
    writeFile(real, longOldFile);
    writeFile(path, "under the mount\n");
    editorSettings().rcPath = path;
    constexpr int noNamespace = 77;
    // The mount lives in the child's own namespace: the test sees both files.
    int status = inChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(real.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return noNamespace;
        return saveRcFile() ? 0 : 1;
    });
    if (status == noNamespace) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(real), readFile(dataDir + "/defaults.saved"));
    EXPECT_EQ(readFile(path), "under the mount\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"rc", "real"}));
}

TEST_F(RcModel, SaveAsAUserWhoCannotWriteTheDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "changing users needs root";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    struct Case {
        const char* name;
        mode_t directoryMode;
        bool nobodysFile;
        mode_t fileMode;
        bool saved;
    } cases[] = {
        {"own file in a directory of root", 0755, true, 0600, true},
        {"file of root open to all in a sticky directory", 01777, false, 0666, true},
        {"file of root closed to others", 0755, false, 0644, false},
    };
    TempDir dir;
    ASSERT_EQ(chmod(dir.get().c_str(), 0755), 0);
    const std::string layout = readFile(dataDir + "/defaults.saved");
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string directory = dir.path(std::to_string(index++));
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
        ASSERT_EQ(chmod(directory.c_str(), c.directoryMode), 0);
        std::string path = directory + "/rc";
        writeFile(path, longOldFile);
        ASSERT_EQ(chmod(path.c_str(), c.fileMode), 0);
        if (c.nobodysFile) {
            ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        }
        struct stat before = statOf(path);
        editorSettings().rcPath = path;

        ::testing::internal::CaptureStderr();
        int status = inChild([&] {
            if (setgroups(0, nullptr) != 0 ||
                setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
                setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
                return 2;
            return saveRcFile() ? 0 : 1;
        });
        std::string message = ::testing::internal::GetCapturedStderr();

        EXPECT_EQ(status, c.saved ? 0 : 1);
        EXPECT_EQ(message, c.saved ? ""
                                   : "Unable to open configuration file \"" + path +
                                         "\". Permission denied.\n");
        EXPECT_EQ(readFile(path), c.saved ? layout : longOldFile);
        struct stat after = statOf(path);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        std::vector<std::string> names;
        for (const auto& item : std::filesystem::directory_iterator(directory))
            names.push_back(item.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"rc"});  // no temporary left
    }
}

TEST_F(RcModel, SaveModes) {
    TempDir dir;
    mode_t oldMask = umask(022);
    struct Case {
        std::string name;
        std::optional<mode_t> existing;
        mode_t expected;
    } cases[] = {{"new", std::nullopt, 0600}, {"shared", 0644, 0644}, {"group", 0640, 0640}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.path(c.name);
        if (c.existing) {
            writeFile(path, "old\n");
            ASSERT_EQ(chmod(path.c_str(), *c.existing), 0);
        }
        editorSettings().rcPath = path;
        ASSERT_TRUE(saveRcFile());
        struct stat status {};
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, c.expected);
        EXPECT_EQ(readFile(path), readFile(dataDir + "/defaults.saved"));
    }
    umask(oldMask);

    // A linked rc file is updated through its link.
    std::string link = dir.path("link");
    ASSERT_EQ(symlink(dir.path("shared").c_str(), link.c_str()), 0);
    writeFile(dir.path("shared"), "old\n");
    editorSettings().rcPath = link;
    ASSERT_TRUE(saveRcFile());
    struct stat status {};
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(readFile(dir.path("shared")), readFile(dataDir + "/defaults.saved"));

    // So is one whose link leads, through another, to a file not made yet,
    // as a dotfile manager leaves it before the first save.
    std::string dangling = dir.path("dangling");
    ASSERT_EQ(symlink("middle", dangling.c_str()), 0);
    ASSERT_EQ(symlink(dir.path("repository-rc").c_str(), dir.path("middle").c_str()), 0);
    editorSettings().rcPath = dangling;
    ASSERT_TRUE(saveRcFile());
    ASSERT_EQ(lstat(dangling.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(readFile(dir.path("repository-rc")), readFile(dataDir + "/defaults.saved"));
}
