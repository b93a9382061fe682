#include "monitor/cycle/rcfile.h"
#include "tests/support/monitor_testing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "common/definition.h"
#include "monitor/state/boxes.h"

namespace {

class RcFile : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        clearBoxList();
        rcTimeStamp = 0;
        rcSizeStamp = 0;
        directory =
            std::filesystem::temp_directory_path() / ("quorvik-rc-" + std::to_string(getpid()));
        std::filesystem::create_directories(directory);
        path = (directory / "rc").string();
        settings::rcFilePath.reset(path);
        mbox = (directory / "mbox").string();
        std::ofstream(mbox) << "From a\n";
    }
    void TearDown() override {
        resetSettings();
        clearBoxList();
        std::filesystem::remove_all(directory);
    }

    // Writes the file with a modification time of its own, so every write is
    // a change even within one second.
    void write(const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        timespec times[2] = {{0, UTIME_OMIT}, {1000000 + ++version, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }

    std::string load(const std::string& text) {
        write(text);
        testing::internal::CaptureStderr();
        reloadIfChanged();
        return testing::internal::GetCapturedStderr();
    }

    std::filesystem::path directory;
    std::string path, mbox;
    int version = 0;
};

}  // namespace

TEST_F(RcFile, CommentsAndEmptyLinesChangeNothing) {
    EXPECT_EQ(load("# Blink = no\n\n#Interval=5\n"), "");
    EXPECT_EQ(settings::blink, 1);
    EXPECT_EQ(settings::interval, 1u);
}

TEST_F(RcFile, LineRules) {
    // Every message about a line ends with where it stands.
    const std::string at = " In " + path + " at line 1.\n";
    struct Case {
        std::string line;
        int32_t blinkAfter;
        std::string message;
    } cases[] = {
        {"Blink=no", 0, ""},
        {" Blink=no", 1,  // a blank before the key: no key
         "quorvik warning : unknown key \" Blink\", did you mean \"Blink\"?" + at},
        {"# Blink=no", 1, ""},
        {"Blinking = no", 0, ""},  // anything may stand before the =
        {"Blink no", 1, ""},       // no =, but the line belongs to the key
        {"Blink =   ", 1, ""},     // empty value
        {"blink = no", 1,          // keys are case-sensitive
         "quorvik warning : unknown key \"blink\", did you mean \"Blink\"?" + at},
        {"Blink", 1, ""},  // a key alone: nothing to set, nothing to say
        {"Blink = no ", 0, "Error converting \"no \" to boolean value." + at},
        {"Blink = Yes", 1, ""},
        {"Blink = Off", 0, ""},
        {"Blink =\tno", 0, "Error converting \"\tno\" to boolean value." + at},
        {"Blink = no\r", 0, "Error converting \"no\r\" to boolean value." + at},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        settings::blink = 1;
        EXPECT_EQ(load(c.line + "\n"), c.message);
        EXPECT_EQ(settings::blink, c.blinkAfter);
    }
}

// The line numbers are the file's: a line read in several parts
// counts once, a carriage return ends no line. Only lines that belong to no
// key are unknown; blank lines and comments indented by mistake say nothing.
TEST_F(RcFile, MessagesNameTheFileAndLine) {
    std::string longCommand = "Command = " + std::string(rcLinePart + 100, 'x');
    std::string text =
        "# settings\r\n"
        "Checkdelay = 60\n"
        "\n"
        "   \t\n"
        "  # an indented comment\n" +
        longCommand +
        "\n"
        "UseThreads = maybe\r\n"
        "Mailbox = MBOX /no/such\n"
        "Mailbox = MBOX\n"
        "Intervall=5\n"
        "Colour = red\n"
        "\x1b[2J = x\n"
        "Mailbox = MBOX " +
        mbox + "\n";
    auto at = [&](int line) { return " In " + path + " at line " + std::to_string(line) + ".\n"; };
    EXPECT_EQ(load(text),
              "quorvik warning : unknown key \"Checkdelay\", did you mean \"CheckDelay\"?" + at(2) +
                  "quorvik warning : unknown key \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...\"." +
                  at(6) + "Error converting \"maybe\r\" to boolean value." + at(7) +
                  "quorvik warning : unknown key \"Colour\"." + at(11) +
                  "quorvik warning : unknown key \"?[2J\"." + at(12) +
                  "Mail box '/no/such' does not exist !" + at(8) + "Invalid Mail box parameters !" +
                  at(9));
    EXPECT_EQ(settings::checkDelay, 30);
    EXPECT_EQ(settings::interval, 5u);  // "Intervall" begins with the key Interval
    EXPECT_EQ(boxCount(*boxListSnapshot()), 1);

    // A definition given twice is told of where it stood first; one from
    // the command line is told of as before.
    addDefinition(settings::boxDefinitions, "MBOX /from/the/command/line");
    EXPECT_EQ(load("Mailbox = MBOX /no/such\n# again\nMailbox = MBOX /no/such\n"),
              "Mail box '/from/the/command/line' does not exist !\n"
              "Mail box '/no/such' does not exist !" +
                  at(1));
}

TEST_F(RcFile, KeysOfTheFileAlone) {
    EXPECT_EQ(settings::push, 1);
    load("Push = Off\nPasswordCommand = pass show \"mail/$QUORVIK_USER\"\nTokenCommand = oauth\n");
    EXPECT_EQ(settings::push, 0);
    EXPECT_EQ(settings::passwordCommand.get(), "pass show \"mail/$QUORVIK_USER\"");
    EXPECT_EQ(settings::tokenCommand.get(), "oauth");
}

TEST_F(RcFile, BooleansAsTheEditorWritesThem) {
    load("Backlight = On\nCheckSize = True\nRunOnce = Yes\nUseThreads = False\n");
    EXPECT_EQ(settings::backlight, 1);
    EXPECT_EQ(settings::checkSize, 1);
    EXPECT_EQ(settings::runOnce, 1);
    EXPECT_EQ(settings::useThreads, 0);
}

TEST_F(RcFile, ValuesKeepLaterEqualsAndTrailingBlanks) {
    load(
        "Command = a=b  \nNotify=  say \"mail\"\t\nColor = red\nColor = blue\nInterval = 7x\n"
        "DefaultBox = -2\nCheckDelay=60");
    EXPECT_EQ(settings::command.get(), "a=b  ");
    EXPECT_EQ(settings::notify.get(), "say \"mail\"\t");
    EXPECT_EQ(settings::color.get(), "red");  // a text once set stays
    EXPECT_EQ(settings::interval, 7u);
    EXPECT_EQ(settings::checkDelay, 60);
    EXPECT_EQ(settings::selectedBox, 0);  // the rebuild's range correction
}

// A line is read in parts of 4095 characters, each a line of its own; the
// Mailbox line of the longest box definition fits in one part.
TEST_F(RcFile, LongLinesAreReadInParts) {
    std::string first = "Command = ";
    first += std::string(4095 - first.size(), 'x');
    std::string longest = "IMAP " + std::string(1023, 'h') + " " + std::string(254, 'u') + " " +
                          std::string(255, 'p') + " " + std::string(255, 'f');
    load(first + "Interval=9\n" + std::string(5000, 'y') + "Blink=no\nMailbox = " + longest + "\n");
    EXPECT_EQ(settings::command.get(), std::string(4085, 'x'));
    EXPECT_EQ(settings::interval, 9u);
    EXPECT_EQ(settings::blink, 1);  // "Blink=no" lies inside the second part of a long line
    auto list = boxListSnapshot();
    ASSERT_EQ(boxCount(*list), 1);
    EXPECT_EQ((*list)[0]->path, std::string(1023, 'h'));
    EXPECT_EQ((*list)[0]->folder, std::string(255, 'f'));
}

TEST_F(RcFile, MailboxLinesReplaceTheCommandLineBoxes) {
    addDefinition(settings::boxDefinitions, "POP3 from-command-line");
    rebuildBoxList();
    load("Mailbox = MBOX " + mbox + "\nMailbox = POP3 host\nMailbox = POP3 host\n");
    auto list = boxListSnapshot();
    ASSERT_EQ(boxCount(*list), 2);
    EXPECT_EQ((*list)[0]->path, mbox);
    EXPECT_EQ((*list)[1]->path, "host");
    // A file without a valid box leaves the list in force.
    EXPECT_EQ(load("Mailbox = MBOX /no/such\n"),
              "Mail box '/no/such' does not exist ! In " + path + " at line 1.\n");
    EXPECT_EQ(boxListSnapshot(), list);
}

TEST_F(RcFile, ReloadOnlyWhenTheStampChanges) {
    EXPECT_EQ(reloadIfChanged(), 0);  // no file
    write("Interval = 3\nCommand = first\n");
    EXPECT_EQ(reloadIfChanged(), 1);
    EXPECT_EQ(reloadIfChanged(), 0);
    EXPECT_EQ(settings::interval, 3u);
    write("Interval = 4\nCommand = second\n");
    EXPECT_EQ(reloadIfChanged(), 1);
    EXPECT_EQ(settings::interval, 4u);
    EXPECT_EQ(settings::command.get(), "first");  // needs a restart
    // By size, an edit that keeps the size is not noticed.
    settings::checkSize = 1;
    write("Interval = 5\nCommand = second\n");
    EXPECT_EQ(reloadIfChanged(), 1);  // the size stamp was still 0
    write("Interval = 6\nCommand = second\n");
    EXPECT_EQ(reloadIfChanged(), 0);
    EXPECT_EQ(settings::interval, 5u);
}

TEST_F(RcFile, ReloadCarriesCountsOfKeptBoxes) {
    load("Mailbox = MBOX " + mbox + "\n");
    boxAt(1)->newCount = 4;
    boxAt(1)->totalCount = 9;
    load("Mailbox = MBOX " + mbox + "\nMailbox = POP3 other\n");
    EXPECT_EQ(boxAt(1)->newCount, 4);
    EXPECT_EQ(boxAt(1)->totalCount, 9);
    EXPECT_EQ(boxAt(2)->newCount, 0);
}

TEST_F(RcFile, BinaryAndHugeFilesAreReadWithinBounds) {
    std::mt19937 random(7);
    std::string binary(1 << 16, '\0');
    for (char& c : binary) c = static_cast<char>(random());
    testing::internal::CaptureStderr();
    write(binary);
    reloadIfChanged();
    testing::internal::GetCapturedStderr();

    // Tens of thousands of distinct boxes and a 20 MiB file: the monitor
    // keeps a bounded number and reads a bounded prefix.
    std::string many;
    for (int i = 0; many.size() < (20u << 20); ++i)
        many += "Mailbox = POP3 host" + std::to_string(i) + "\n";
    write(many);
    EXPECT_EQ(reloadIfChanged(), 1);
    EXPECT_EQ(boxCount(*boxListSnapshot()), 4096);
}

TEST_F(RcFile, UnreadableOrMissingFilesReadNothing) {
    EXPECT_FALSE(readRcFile(optionTable(), std::nullopt, 1));
    EXPECT_FALSE(readRcFile(optionTable(), (directory / "none").string(), 1));
    EXPECT_FALSE(readRcFile(optionTable(), directory.string(), 1));
}

TEST_F(RcFile, AFileThatGoesAndComesBackIsReadAgain) {
    write("Interval = 3\nMailbox = MBOX " + mbox + "\n");
    EXPECT_EQ(reloadIfChanged(), 1);
    std::filesystem::remove(path);
    EXPECT_EQ(reloadIfChanged(), 0);
    EXPECT_EQ(boxCount(*boxListSnapshot()), 1);  // the boxes stay
    write("Interval = 4\nMailbox = MBOX " + mbox + "\n");
    EXPECT_EQ(reloadIfChanged(), 1);
    EXPECT_EQ(settings::interval, 4u);
}

TEST_F(RcFile, ALineEndsAtANulByte) {
    EXPECT_EQ(load(std::string("Backlight=on\0junk\nBlink=no\0\n", 26)), "");
    EXPECT_EQ(settings::backlight, 1);
    EXPECT_EQ(settings::blink, 0);
}

// -f <(...), a FIFO, or anything else that is no regular file: read as a
// stream, within bounds, and a FIFO without a writer holds nothing up.
TEST_F(RcFile, PipesAndFifosAreReadWithoutHangingOnThem) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string text = "Interval = 6\nMailbox = MBOX " + mbox + "\n";
    ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(ends[1]);
    EXPECT_TRUE(readRcFile(optionTable(), "/proc/self/fd/" + std::to_string(ends[0]), 1));
    close(ends[0]);
    EXPECT_EQ(settings::interval, 6u);
    EXPECT_EQ(settings::boxDefinitions.size(), 1u);

    std::string fifo = (directory / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(readRcFile(optionTable(), fifo, 1));  // no writer: nothing, at once
    EXPECT_EQ(settings::interval, 6u);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(readRcFile(optionTable(), directory.string(), 1));
    EXPECT_FALSE(readRcFile(optionTable(), directory.string(), 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorvik warning : rc file " + directory.string() + " is not a regular file\n");
}

namespace {

// Opens the file, then an editor's save replaces it under the reader, the
// first `replacements` times.
std::atomic<int> replacements{0};
std::string replacedPath;
int openWhileAnEditorSaves(const char* path, int flags) {
    int fd = ::open(path, flags);
    if (replacements > 0) {
        --replacements;
        std::string temporary = replacedPath + ".new";
        std::ofstream(temporary) << "Interval = 8\n";
        std::filesystem::rename(temporary, replacedPath);
    }
    return fd;
}

}  // namespace

TEST_F(RcFile, StartUpReadsAFileCaughtWhileItWasReplaced) {
    write("Interval = 8\n");
    replacedPath = path;
    replacements = 3;
    setRcOpener(openWhileAnEditorSaves);
    loadRcFileAtStartUp();
    setRcOpener(nullptr);
    EXPECT_EQ(replacements, 0);
    EXPECT_EQ(settings::interval, 8u);
}
