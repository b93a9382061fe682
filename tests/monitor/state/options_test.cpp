#include "monitor/state/options.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "monitor/state/boxes.h"
#include "tests/support/scratch.h"

namespace {

class Options : public testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }

    static void scan(std::vector<std::string> words) {
        words.insert(words.begin(), "quorvik");
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        scanCommandLine(optionTable(), static_cast<int>(words.size()), argv.data());
    }

    static Option& row(char letter) {
        for (Option& r : optionTable())
            if (r.letter == letter) return r;
        throw std::runtime_error("no such row");
    }
};

// The version line, with the release where the build takes it from: the
// top entry of debian/changelog, read by dpkg's own reader.
std::string versionLine() {
    const std::string read = "dpkg-parsechangelog -l '" QUORVIK_SOURCE_DIR "/debian/changelog' -S ";
    auto field = [](const std::string& command) {
        std::string value = scratch::run(command).value_or("");
        if (!value.empty() && value.back() == '\n') value.pop_back();
        return value;
    };
    std::string version = field(read + "Version");
    std::string date = field("LC_ALL=C date -d \"$(" + read + "Date | cut -d' ' -f2-4)\" +%F");
    EXPECT_FALSE(version.empty() || date.empty()) << "debian/changelog could not be read";
    return "Quorvik version " + version + " - the quorvik developers " + date + "\n";
}

const char* usageLines =
    "Usage: quorvik [-h] [-v] [-w] [-k] [-b] [-s] [-r] [-z] [-t] [-d <display>] [-c <color>] "
    "[-x <command>] [-n <command>] [-f <file>] [-i <secs>] [-o <box-num>] [-l <delay>] "
    "[-m <box-def>]\n"
    " Options :\n"
    "   -h \t\t : this help\n"
    "   -v \t\t : version\n"
    "   -w \t\t : run in windowed mode\n"
    "   -k \t\t : broken WM mode\n"
    "   -b \t\t : set backlight\n"
    "   -s \t\t : disable blinking\n"
    "   -r \t\t : notify only once\n"
    "   -z \t\t : check boxes size instead of time\n"
    "   -t \t\t : don't use threads\n"
    "   -d <display>\t : set display\n"
    "   -c <color>\t : set light color\n"
    "   -x <command>\t : command to launch with button 2\n"
    "   -n <command>\t : command to notify new mail arrival\n"
    "   -f <file>\t : load configuration file\n"
    "   -i <secs>\t : refresh interval\n"
    "   -o <box-num>\t : box to open directly\n"
    "   -l <delay>\t : network boxes check frequency\n"
    "   -m <box-def>\t : mail box definition between double-quotes (see manpage)\n"
    "\n";

}  // namespace

TEST_F(Options, DefaultsWithoutArguments) {
    scan({});
    EXPECT_EQ(settings::windowed, 0);
    EXPECT_EQ(settings::brokenWM, 0);
    EXPECT_EQ(settings::backlight, 0);
    EXPECT_EQ(settings::blink, 1);
    EXPECT_EQ(settings::runOnce, 0);
    EXPECT_EQ(settings::checkSize, 0);
    EXPECT_EQ(settings::useThreads, 1);
    EXPECT_EQ(settings::selectedBox, 0);
    EXPECT_EQ(settings::interval, 1u);
    EXPECT_EQ(settings::checkDelay, 30);
    EXPECT_FALSE(settings::color.isSet());
    EXPECT_TRUE(settings::boxDefinitions.empty());
}

TEST_F(Options, CommandLineFirstOccurrenceWinsBooleansInvertOnce) {
    scan({"-s", "-s",  "-i", "5",    "-i", "7", "-b", "-t",  "-w", "-kx",
          "-c", "red", "-c", "blue", "-o", "2", "-l", "-12", "-d", ":1"});
    EXPECT_EQ(settings::blink, 0);
    EXPECT_EQ(settings::interval, 5u);
    EXPECT_EQ(settings::backlight, 1);
    EXPECT_EQ(settings::useThreads, 0);
    EXPECT_EQ(settings::windowed, 1);
    EXPECT_EQ(settings::brokenWM, 1);
    EXPECT_EQ(settings::color.get(), "red");
    EXPECT_EQ(settings::selectedBox, 2);
    EXPECT_EQ(settings::checkDelay, -12);
    EXPECT_EQ(settings::displayName.get(), ":1");
}

TEST_F(Options, ValueIsTheNextArgumentWhateverItLooksLike) {
    scan({"-i", "-s"});
    EXPECT_EQ(settings::interval, 0u);
    EXPECT_EQ(settings::blink, 1);
}

TEST_F(Options, NegativeIntervalBecomesZeroForTheRebuildToRaise) {
    scan({"-i", "-5"});
    EXPECT_EQ(settings::interval, 0u);
}

TEST_F(Options, DefinitionsAccumulateWithoutDuplicates) {
    scan({"-m", "POP3 a", "-m", "POP3 b", "-m", "POP3 a"});
    EXPECT_EQ(settings::boxDefinitions, (DefinitionList{"POP3 a", "POP3 b"}));
}

TEST_F(Options, UnknownArgumentsAreReportedAndSkipped) {
    testing::internal::CaptureStderr();
    // The keys of the rc file alone have no letter on the command line.
    scan({"word", "-", "-q", "-\1", "-b"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorvik: unknown option [word]\nquorvik: unknown option [-]\n"
              "quorvik: unknown option [-q]\nquorvik: unknown option [-\1]\n");
    EXPECT_EQ(settings::backlight, 1);
}

// Runs the scan in a child process and returns what it printed on standard
// output and how it ended.
std::pair<std::string, int> scanInChild(std::vector<std::string> words) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        words.insert(words.begin(), "quorvik");
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        scanCommandLine(optionTable(), static_cast<int>(words.size()), argv.data());
        _exit(99);
    }
    close(pipeEnds[1]);
    std::string output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(Options, UsageAndVersionTextsAreExact) {
    const std::string version = versionLine(), usage = version + usageLines;
    EXPECT_EQ(scanInChild({"-v"}), std::make_pair(version, 0));
    EXPECT_EQ(scanInChild({"-vanything", "-h"}), std::make_pair(version, 0));
    EXPECT_EQ(scanInChild({"-h"}), std::make_pair(usage, 0));
    EXPECT_EQ(scanInChild({"-b", "-x"}), std::make_pair(usage, 0));
    EXPECT_EQ(scanInChild({"-m"}), std::make_pair(usage, 0));
}

TEST_F(Options, ToBooleanWords) {
    struct Case {
        const char* word;
        int value;
        bool complaint;
    } cases[] = {
        {"1", 1, false},   {"0", 0, false},  {"true", 1, false}, {"FALSE", 0, false},
        {"Yes", 1, false}, {"no", 0, false}, {"On", 1, false},   {"oFF", 0, false},
        {"yes ", 0, true}, {" on", 0, true}, {"2", 0, true},     {"Maybe", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        testing::internal::CaptureStderr();
        EXPECT_EQ(toBoolean(c.word), c.value);
        std::string complaint = testing::internal::GetCapturedStderr();
        EXPECT_EQ(complaint, c.complaint ? "Error converting \"" + std::string(c.word) +
                                               "\" to boolean value.\n"
                                         : "");
    }
}

TEST_F(Options, AssignWithForceOverridesIntegersButNeverAText) {
    scan({"-c", "red", "-i", "5"});
    EXPECT_EQ(assignOption(row('c'), "blue", 1), 1);
    EXPECT_EQ(assignOption(row('i'), "2", 1), 1);
    EXPECT_EQ(settings::color.get(), "red");
    EXPECT_EQ(settings::interval, 2u);
    // A text that was none takes the first value given.
    EXPECT_EQ(assignOption(row('n'), "notify-me", 1), 1);
    EXPECT_EQ(settings::notify.get(), "notify-me");
    // Empty values: booleans invert, other kinds fail.
    EXPECT_EQ(assignOption(row('b'), "", 1), 1);
    EXPECT_EQ(settings::backlight, 1);
    EXPECT_EQ(assignOption(row('x'), "", 1), 0);
    EXPECT_EQ(assignOption(row('h'), "x", 1), 0);
}
