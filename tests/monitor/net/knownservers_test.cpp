// The remembered servers: their lines, the judging of a server by its
// certificate, and the file, which may be corrupt, huge, unwritable or
// changed by someone else, and which several workers write at once.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitor/net/knownservers.h"
#include "monitor/net/testing.h"

namespace fs = std::filesystem;

namespace {

// A fingerprint of 32 bytes, all of them `byte`.
std::string fingerprint(const char* byte) {
    std::string text = byte;
    for (int at = 1; at < 32; ++at) text += std::string(":") + byte;
    return text;
}

const std::string one = fingerprint("11"), two = fingerprint("22"), three = fingerprint("33");

TlsPeer unverified(const std::string& print) { return {print, false, "self-signed certificate"}; }
TlsPeer verified(const std::string& print) { return {print, true, ""}; }

}  // namespace

TEST(KnownServers, Lines) {
    EXPECT_EQ(knownServerName("Mail.Example.ORG", 993), "mail.example.org:993");
    EXPECT_EQ(knownServerName("::1", 995), "[::1]:995");

    struct Case {
        std::string line;
        ServerLine kind;
        KnownServer server;
        std::string written;  // the line as the monitor writes it back
    } cases[] = {
        {"mail.example.org:993 pinned " + one,
         ServerLine::server,
         {"mail.example.org:993", false, one},
         "mail.example.org:993 pinned " + one},
        {" Mail.Example.org:143\tverified  " + fingerprint("ab") + " \r",
         ServerLine::server,
         {"mail.example.org:143", true, fingerprint("AB")},
         "mail.example.org:143 verified " + fingerprint("AB")},
        {"[::1]:995 pinned none",
         ServerLine::server,
         {"[::1]:995", false, "none"},
         "[::1]:995 pinned none"},
        {"", ServerLine::blank, {}, ""},
        {" \t", ServerLine::blank, {}, ""},
        {"  # a comment", ServerLine::blank, {}, ""},
        {"host:993 pinned", ServerLine::bad, {}, ""},
        {"host:993 pinned " + one + " more", ServerLine::bad, {}, ""},
        {"host pinned " + one, ServerLine::bad, {}, ""},
        {"host:0 pinned " + one, ServerLine::bad, {}, ""},
        {"host:65536 pinned " + one, ServerLine::bad, {}, ""},
        {"host:99a pinned " + one, ServerLine::bad, {}, ""},
        {":993 pinned " + one, ServerLine::bad, {}, ""},
        {"::1:993 pinned " + one, ServerLine::bad, {}, ""},
        {"[::1:993 pinned " + one, ServerLine::bad, {}, ""},
        {"host:993 trusted " + one, ServerLine::bad, {}, ""},
        {"host:993 pinned AB:CD", ServerLine::bad, {}, ""},
        {"host:993 pinned " + fingerprint("GG"), ServerLine::bad, {}, ""},
        {std::string("host:993 \0pinned ", 17) + one, ServerLine::bad, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ParsedServerLine parsed = parseKnownServerLine(c.line);
        ASSERT_EQ(parsed.kind, c.kind);
        if (c.kind != ServerLine::server) continue;
        EXPECT_EQ(parsed.server.server, c.server.server);
        EXPECT_EQ(parsed.server.verified, c.server.verified);
        EXPECT_EQ(parsed.server.fingerprint, c.server.fingerprint);
        EXPECT_EQ(formatKnownServerLine(parsed.server), c.written);
    }
}

TEST(KnownServers, Judging) {
    const KnownServer pinnedOne{"host:993", false, one}, verifiedOne{"host:993", true, one};
    struct Case {
        const char* name;
        std::optional<KnownServer> remembered;
        TlsPeer peer;
        Meeting meeting;
    } cases[] = {
        {"verifies, first met", std::nullopt, verified(one), Meeting::learned},
        {"verifies as before", verifiedOne, verified(one), Meeting::known},
        {"verifies with a new certificate", verifiedOne, verified(two), Meeting::learned},
        {"verifies now, was pinned", pinnedOne, verified(two), Meeting::learned},
        {"unverifiable, first met", std::nullopt, unverified(one), Meeting::learned},
        {"unverifiable, as pinned", pinnedOne, unverified(one), Meeting::known},
        {"unverifiable, another one", pinnedOne, unverified(two), Meeting::changed},
        {"unverifiable, once verified", verifiedOne, unverified(one), Meeting::unverified},
        {"no certificate, once verified", verifiedOne, unverified("none"), Meeting::unverified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(judgeMeeting(c.remembered, c.peer), c.meeting);
    }
}

namespace {

// Each test has a home directory of its own, and so a servers file of its own.
class ServersFile : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "quorvik-servers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home = pattern;
        if (const char* old = std::getenv("HOME")) oldHome = old;
        setenv("HOME", home.c_str(), 1);
        forgetServerWarnings();
    }
    void TearDown() override {
        if (oldHome)
            setenv("HOME", oldHome->c_str(), 1);
        else
            unsetenv("HOME");
        fs::remove_all(home);
    }

    fs::path file() const { return home / ".quorvik-servers"; }
    std::string text() const {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream read;
        read << in.rdbuf();
        return read.str();
    }
    void write(const std::string& content) const {
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << content;
    }
    // What the call printed on standard error.
    template <typename Call>
    std::string errorsOf(Call call) {
        testing::internal::CaptureStderr();
        call();
        return testing::internal::GetCapturedStderr();
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(home))
            names.push_back(entry.path().filename());
        return names;
    }

    fs::path home;
    std::optional<std::string> oldHome;
};

}  // namespace

TEST_F(ServersFile, LearnedServersAreWrittenForTheUserAlone) {
    EXPECT_TRUE(knownServerAccepts("a.example:993", unverified(one)));
    EXPECT_TRUE(knownServerAccepts("b.example:995", verified(two)));
    EXPECT_TRUE(knownServerAccepts("b.example:995", verified(three)));  // renewed: written
    std::string written = text();
    EXPECT_EQ(written.substr(0, 2), "# ");
    EXPECT_NE(
        written.find("\na.example:993 pinned " + one + "\nb.example:995 verified " + three + "\n"),
        std::string::npos)
        << written;
    struct stat status {};
    ASSERT_EQ(stat(file().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(entries(), std::vector<std::string>{".quorvik-servers"});  // nothing left over

    EXPECT_FALSE(knownServerAccepts("a.example:993", unverified(two)));
    EXPECT_FALSE(knownServerAccepts("b.example:995", unverified(three)));
    EXPECT_EQ(text(), written);
}

// Bad lines are told of once and left as they are; the good ones hold.
TEST_F(ServersFile, CorruptLinesAreToldOnceAndKept) {
    std::string junk = "\x01\xfe\xff binary junk\0 here";
    junk += std::string("\0\0", 2);
    std::string corrupt =
        "a.example:993 pinned " + one + "\nnot a server line\n" + junk + "\nhost:0 pinned x\n";
    write(corrupt);
    std::string path = file().string();
    EXPECT_EQ(errorsOf([&] { EXPECT_FALSE(knownServerAccepts("a.example:993", unverified(two))); }),
              "quorvik warning : line 2 of " + path + " is not understood and is ignored\n" +
                  "quorvik warning : line 3 of " + path + " is not understood and is ignored\n" +
                  "quorvik warning : line 4 of " + path + " is not understood and is ignored\n" +
                  "quorvik warning : the certificate of a.example:993 has changed and cannot be " +
                  "verified (self-signed certificate): it was " + one + ", it is now " + two +
                  "; the password was not sent. To accept the new certificate, delete line 1 " +
                  "(a.example:993) of " + path + "\n");
    EXPECT_EQ(errorsOf([&] {
                  EXPECT_TRUE(knownServerAccepts("b.example:993", verified(three)));
                  EXPECT_TRUE(knownServerAccepts("a.example:993", unverified(one)));
              }),
              "");
    EXPECT_EQ(text(), corrupt + "b.example:993 verified " + three + "\n");
}

TEST_F(ServersFile, ChangesByOthersAreReadAgain) {
    EXPECT_TRUE(knownServerAccepts("a.example:993", unverified(one)));
    write("# the user's own\na.example:993 pinned " + two + "\n");
    EXPECT_TRUE(knownServerAccepts("a.example:993", unverified(two)));
    EXPECT_FALSE(errorsOf([&] {
                     EXPECT_FALSE(knownServerAccepts("a.example:993", unverified(one)));
                 }).empty());
    // A line deleted, as the warning says: the next certificate is taken.
    write("# the user's own\n");
    EXPECT_TRUE(knownServerAccepts("a.example:993", unverified(one)));
    EXPECT_EQ(text(), "# the user's own\na.example:993 pinned " + one + "\n");
}

// A huge file is read up to its limit and never written, so that none of it
// is lost; what is learned meanwhile holds until the monitor ends.
TEST_F(ServersFile, HugeFileIsReadInPartAndNotWritten) {
    std::string huge = "a.example:993 pinned " + one + "\n";
    while (huge.size() < (std::size_t{3} << 20)) huge += "# " + std::string(100, 'x') + "\n";
    write(huge);
    EXPECT_EQ(errorsOf([&] { EXPECT_FALSE(knownServerAccepts("a.example:993", unverified(two))); })
                  .rfind("quorvik warning : " + file().string() +
                             " is larger than 1 MiB: only its beginning is read, and servers "
                             "met now are remembered until the monitor ends\n",
                         0),
              0u);
    EXPECT_TRUE(knownServerAccepts("b.example:993", unverified(one)));
    EXPECT_FALSE(knownServerAccepts("b.example:993", unverified(two)));
    EXPECT_EQ(text(), huge);
}

// Whatever stops the file from being read or written, the checks go on,
// told once, with what is learned held until the monitor ends.
TEST_F(ServersFile, UnusableFileNeverStopsTheChecks) {
    const struct Case {
        const char* name;
        std::string home;  // relative to the test's home directory
        bool directory;    // the file is a directory
        std::string problem;
    } cases[] = {
        {"no home directory", "missing", false,
         "cannot write HOME/.quorvik-servers (No such file or directory)"},
        {"a directory in the file's place", "dir", true,
         "cannot read HOME/.quorvik-servers (not a regular file)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path place = home / c.home;
        if (c.directory) fs::create_directories(place / ".quorvik-servers");
        setenv("HOME", place.c_str(), 1);
        std::string problem = c.problem;
        problem.replace(problem.find("HOME"), 4, place.string());
        EXPECT_EQ(
            errorsOf([&] { EXPECT_TRUE(knownServerAccepts("a.example:993", verified(one))); }),
            "quorvik warning : " + problem +
                "; servers met now are remembered until the monitor ends\n");
        EXPECT_EQ(errorsOf([&] {
                      EXPECT_TRUE(knownServerAccepts("b.example:993", unverified(one)));
                      EXPECT_FALSE(knownServerAccepts("a.example:993", unverified(one)));
                  }).find(problem),
                  std::string::npos);
        EXPECT_FALSE(knownServerAccepts("b.example:993", unverified(two)));
        EXPECT_TRUE(knownServerRefusesPlainText("b.example:993"));
    }
}

// Workers that meet servers at the same time lose none of them.
TEST_F(ServersFile, WorkersLearningAtOnceLoseNothing) {
    constexpr int workers = 16;
    std::vector<std::thread> threads;
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back([worker] {
            knownServerAccepts("host" + std::to_string(worker) + ".example:993", verified(one));
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::string written = text();
    for (int worker = 0; worker < workers; ++worker) {
        std::string line =
            "\nhost" + std::to_string(worker) + ".example:993 verified " + one + "\n";
        EXPECT_NE(written.find(line), std::string::npos) << line;
        EXPECT_EQ(written.find(line), written.rfind(line));
    }
    EXPECT_EQ(entries().size(), 1u);
}

// A file kept as a link, as dotfile managers keep it, is written through the
// link: the file it leads to is replaced, and the links stay as they were.
TEST_F(ServersFile, ALinkedFileIsWrittenThroughItsLinks) {
    const std::string mine = "# mine\nold.example:993 pinned " + one + "\n";
    const struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link, its text
        std::string target;                                      // from the home directory
        bool exists;
    } cases[] = {
        {"relative", {{".quorvik-servers", "dotfiles/servers"}}, "dotfiles/servers", true},
        {"absolute",
         {{".quorvik-servers", (home / "dotfiles/servers").string()}},
         "dotfiles/servers",
         true},
        {"a link to a link",
         {{".quorvik-servers", "dotfiles/link"}, {"dotfiles/link", "deeper/servers"}},
         "dotfiles/deeper/servers",
         true},
        {"to a file not made yet", {{".quorvik-servers", "dotfiles/new"}}, "dotfiles/new", false},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(home / "dotfiles");
        fs::remove(file());
        fs::create_directories((home / c.target).parent_path());
        if (c.exists) std::ofstream(home / c.target) << mine;
        for (const auto& [link, text] : c.links) fs::create_symlink(text, home / link);
        std::string server = "case" + std::to_string(++number) + ".example:993";

        EXPECT_TRUE(knownServerAccepts(server, unverified(two)));
        for (const auto& [link, text] : c.links) {
            ASSERT_TRUE(fs::is_symlink(home / link)) << link;
            EXPECT_EQ(fs::read_symlink(home / link), text);
        }
        std::string written = text();
        EXPECT_EQ(written.rfind(c.exists ? mine : "# Servers quorvik has met", 0), 0u) << written;
        EXPECT_TRUE(written.ends_with("\n" + server + " pinned " + two + "\n")) << written;
        errorsOf([&] { EXPECT_FALSE(knownServerAccepts(server, unverified(three))); });
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(home / "dotfiles"))
            files += fs::is_regular_file(entry.symlink_status());
        EXPECT_EQ(files, 1u);  // nothing left over beside the target
    }
}
