// The monitor as a user meets it: the real program on a real X server, with
// real mail stores written by the mail tools, read back from its pixels and
// driven with real pointer presses.

// gtest first: Xlib defines None, which gtest uses as a name.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "editor/rcmodel.h"
#include "tests/monitor/dock/xpm_reference.h"
#include "tests/monitor/dock/xsupport.h"
#include "tests/monitor/net/cut_off.h"
#include "tests/monitor/net/dovecot_fixture.h"
#include "tests/monitor/net/script_server.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

const std::string monitorPath = QUORVIK_BINARY_DIR "/monitor/quorvik";

// What the seven-segment cells show: a digit, '-' for the dash, ' ' for a
// ghost (nothing drawn), '?' for anything else; and above the box number,
// 'E' for the sign of a failing box, ' ' for the bare panel.
struct Shown {
    std::string box, fresh, total;
    bool lit = false;
    char sign = ' ';
};

class Glyphs {
public:
    Glyphs()
        : parts(referencePicture(PictureName::parts)),
          background(referencePicture(PictureName::background)),
          backlit(referencePicture(PictureName::backlit)) {}

    char cell(const std::vector<uint32_t>& seen, int cellX, int cellY, bool small, bool lit) const {
        int width = small ? 5 : 10, height = small ? 9 : 20;
        const Picture& ground = lit ? backlit : background;
        if (matches(seen, ground.crop(cellX, cellY, width, height))) return ' ';
        for (int digit = 0; digit < 10; ++digit) {
            int x = small ? (lit ? 50 : 0) + 5 * digit : 10 * digit;
            int y = small ? 40 : (lit ? 20 : 0);
            if (matches(seen, parts.crop(x, y, width, height)))
                return static_cast<char>('0' + digit);
        }
        if (small && matches(seen, parts.crop(100, lit ? 40 : 31, 5, 9))) return '-';
        return '?';
    }

    char sign(const std::vector<uint32_t>& seen, bool lit) const {
        if (matches(seen, (lit ? backlit : background).crop(5, 4, 16, 7))) return ' ';
        if (matches(seen, parts.crop(lit ? 16 : 0, 49, 16, 7))) return 'E';
        return '?';
    }

    bool litPanel(uint32_t colour) const { return colour == backlit.at(30, 31); }

private:
    static bool matches(const std::vector<uint32_t>& seen, const Picture& glyph) {
        return seen == glyph.rgb;
    }
    Picture parts, background, backlit;
};

class Monitor : public testing::Test {
protected:
    void SetUp() override {
        display.emplace(sharedDisplay());
        bin = home.path() / "bin";
        fs::create_directories(bin);
    }
    void TearDown() override {
        monitor.reset();
        display.reset();
    }

    // `launcher`: a command that runs the monitor, its path and arguments
    // following its own.
    void start(std::vector<std::string> arguments, std::vector<std::string> environment = {},
               std::vector<std::string> launcher = {}) {
        arguments.insert(arguments.begin(), monitorPath);
        arguments.insert(arguments.begin(), launcher.begin(), launcher.end());
        environment.insert(environment.end(),
                           {"DISPLAY=" + sharedDisplay(), "HOME=" + home.path().string(),
                            "PATH=" + bin.string() + ":/usr/bin:/bin"});
        monitor.emplace(arguments, environment);
        ASSERT_TRUE(eventually([&] { return iconWindowShown(); })) << monitor->errorText();
    }

    // True once the monitor's icon window is found and viewable.
    bool iconWindowShown() {
        windows = findDockWindows(*display);
        XWindowAttributes attributes{};
        return windows.iconWin != 0 &&
               XGetWindowAttributes(*display, windows.iconWin, &attributes) &&
               attributes.map_state == IsViewable;
    }

    // The picture as the server shows it, in windowed mode at (3, 3).
    std::vector<uint32_t> picture() { return readColours(*display, windows.iconWin, 3, 3, 58, 58); }

    Shown read() {
        auto colours = picture();
        auto area = [&](int x, int y, int width, int height) {
            std::vector<uint32_t> seen;
            for (int row = y; row < y + height; ++row)
                for (int column = x; column < x + width; ++column)
                    seen.push_back(colours[static_cast<std::size_t>(row * 58 + column)]);
            return seen;
        };
        auto cell = [&](int x, int y, bool small, bool lit) {
            return glyphs.cell(area(x, y, small ? 5 : 10, small ? 9 : 20), x, y, small, lit);
        };
        Shown shown;
        shown.lit = glyphs.litPanel(colours[31 * 58 + 30]);
        shown.sign = glyphs.sign(area(5, 4, 16, 7), shown.lit);
        for (int x : {7, 13}) shown.box += cell(x, 12, true, shown.lit);
        for (int x : {21, 33, 45}) shown.fresh += cell(x, 7, false, shown.lit);
        for (int x : {9, 21, 33, 45}) shown.total += cell(x, 34, false, shown.lit);
        return shown;
    }

    // Waits until the display shows the counts; they are trimmed of ghosts.
    bool shows(const std::string& box, const std::string& fresh, const std::string& total,
               std::chrono::milliseconds timeout = 10s) {
        auto trimmed = [](std::string text) {
            text.erase(0, text.find_first_not_of(' '));
            return text;
        };
        return eventually(
            [&] {
                Shown shown = read();
                last = shown;
                return shown.box == box && trimmed(shown.fresh) == fresh &&
                       trimmed(shown.total) == total;
            },
            timeout);
    }

    // The same, with the sign above the box number as given.
    bool showsSign(char sign, const std::string& box, const std::string& fresh,
                   const std::string& total) {
        return shows(box, fresh, total) && eventually([&] {
                   last = read();
                   return last.sign == sign;
               });
    }

    // All that the monitor wrote on standard error so far.
    const std::string& said() {
        saidSoFar += monitor->errorText();
        return saidSoFar;
    }

    // A real press at picture coordinates, with Control held when asked.
    void press(unsigned int button, int x, int y, bool control = false) {
        int rootX = 0, rootY = 0;
        Window child;
        XTranslateCoordinates(*display, windows.iconWin, DefaultRootWindow(display->get()), 3 + x,
                              3 + y, &rootX, &rootY, &child);
        XTestFakeMotionEvent(*display, -1, rootX, rootY, 0);
        KeyCode controlKey = XKeysymToKeycode(*display, XK_Control_L);
        if (control) XTestFakeKeyEvent(*display, controlKey, True, 0);
        XTestFakeButtonEvent(*display, button, True, 0);
        XTestFakeButtonEvent(*display, button, False, 0);
        if (control) XTestFakeKeyEvent(*display, controlKey, False, 0);
        XSync(*display, False);
    }

    // Asks the running monitor to check its boxes now, as a user's SIGUSR1 does.
    void checkNow() { ASSERT_EQ(kill(monitor->pid(), SIGUSR1), 0); }

    std::string describe() const {
        return "box [" + last.box + "] new [" + last.fresh + "] total [" + last.total + "] " +
               (last.lit ? "lit" : "unlit") + " sign [" + last.sign + "]";
    }

    TempDir home;
    fs::path bin;
    std::optional<Connection> display;
    std::optional<Child> monitor;
    ProbeWindows windows;
    Glyphs glyphs;
    Shown last;
    std::string saidSoFar;
};

constexpr int plusX = 15, minusX = 9, buttonY = 24;

std::string inHome(const TempDir& home) {
    return "cd '" + home.path().string() + "' && HOME=$PWD ";
}

// procmail delivers a message; formail marks it read first when asked, as a
// mail reader's Status header would.
void deliverToMbox(const TempDir& home, const fs::path& mbox, int number, bool read) {
    scratch::writeFile(home.path() / "message",
                       "From: a@example.org\nSubject: m" + std::to_string(number) + "\n\nbody\n");
    std::string mark = read ? "formail -A 'Status: RO' < message | " : "cat message | ";
    ASSERT_TRUE(
        scratch::run(inHome(home) + mark + "procmail -f s@example.org DEFAULT=" + mbox.string()));
}

// The same cases with Push off, where new mail waits for the scheduler's
// pass (which a check-now signal starts at once), and with Push on, where it
// shows the moment it lands.
class Follows : public Monitor, public testing::WithParamInterface<bool> {
protected:
    bool pushed() const { return GetParam(); }
    // Pushed, the scheduler's passes are an hour apart: whatever shows new
    // mail sooner is the push.
    std::string checkDelay() const { return pushed() ? "3600" : "15"; }
    // A change that the scheduler's pass finds: in a later second than the
    // last count (mbox files and rc files are stamped in whole seconds),
    // and asked for at once.
    void beforeChange() {
        if (!pushed()) scratch::waitForNextSecond();
    }
    void afterChange() {
        if (!pushed()) checkNow();
    }
};

INSTANTIATE_TEST_SUITE_P(Monitor, Follows, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "Pushed" : "Polled";
                         });

}  // namespace

TEST_P(Follows, TheCountsOfRealStoresAndNewMail) {
    for (const char* tool : {"/usr/bin/procmail", "/usr/bin/formail", "/usr/bin/mh/inc"})
        if (!scratch::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    // MH: nmh incorporates 4 messages and marks one seen.
    std::string nmh = inHome(home) + "MH=$PWD/.mh_profile PATH=/usr/bin/mh:$PATH ";
    ASSERT_TRUE(scratch::run(nmh + "install-mh -auto < /dev/null"));
    scratch::appendFile(home.path() / ".mh_profile", "Unseen-Sequence: unseen\n");
    std::string incoming;
    for (int i = 1; i <= 4; ++i)
        incoming += "From a@example.org Mon Jan  1 00:00:00 2024\nSubject: h\n\nbody\n\n";
    scratch::writeFile(home.path() / "incoming", incoming);
    ASSERT_TRUE(scratch::run(nmh + "inc -file incoming -truncate"));
    ASSERT_TRUE(scratch::run(nmh + "mark -sequence unseen -delete 1"));
    scratch::writeFile(home.path() / ".procmailrc", "");
    // mbox: 3 messages, 1 read.
    fs::path mbox = home.path() / "mbox";
    deliverToMbox(home, mbox, 1, true);
    deliverToMbox(home, mbox, 2, false);
    deliverToMbox(home, mbox, 3, false);
    // Maildir: 2 delivered by procmail, one then marked seen the standard way.
    for (int i = 0; i < 2; ++i) {
        scratch::writeFile(home.path() / "message", "From: a@example.org\nSubject: d\n\nbody\n");
        ASSERT_TRUE(scratch::run(inHome(home) + "procmail DEFAULT=$PWD/Maildir/ < message"));
    }
    fs::path seen = *fs::directory_iterator(home.path() / "Maildir" / "new");
    fs::rename(seen, home.path() / "Maildir" / "cur" / (seen.filename().string() + ":2,S"));
    fs::create_directories(home.path() / "inbox");  // the folder name is tested from here too

    // The monitor runs in its home, so the MH folder name exists where it starts.
    fs::current_path(home.path());
    if (!pushed()) scratch::writeFile(home.path() / ".quorvikrc", "Push = off\n");
    // Blinking off: the counts stay steady for the pixel reads.
    start({"-w", "-s", "-m", "MBOX " + mbox.string(), "-m",
           "MAILDIR " + (home.path() / "Maildir").string(), "-m", "MH inbox", "-i", "1", "-l",
           checkDelay()});
    EXPECT_TRUE(shows("--", "6", "9")) << describe() << monitor->errorText();
    press(1, plusX, buttonY);
    EXPECT_TRUE(shows("01", "2", "3")) << describe();
    press(1, plusX, buttonY);
    EXPECT_TRUE(shows("02", "1", "2")) << describe();
    press(1, plusX, buttonY);
    EXPECT_TRUE(shows("03", "3", "4")) << describe();
    press(1, minusX, buttonY);
    press(1, minusX, buttonY);
    EXPECT_TRUE(shows("01", "2", "3")) << describe();

    // New mail reaches the display.
    beforeChange();
    deliverToMbox(home, mbox, 4, false);
    afterChange();
    EXPECT_TRUE(shows("01", "3", "4", 30s)) << describe();

    // Reading everything brings the display back to rest: unlit, nothing new.
    beforeChange();
    ASSERT_TRUE(scratch::run(inHome(home) +
                             "formail -s formail -I 'Status: RO' < mbox > mbox.read && "
                             "cat mbox.read > mbox"));
    afterChange();
    EXPECT_TRUE(eventually(
        [&] {
            last = read();
            return last.box == "01" && last.fresh == "  0" && last.total == "   4" && !last.lit;
        },
        30s))
        << describe();
}

TEST_F(Monitor, BlinkPhasesOfEachMailStatus) {
    fs::path quiet = home.path() / "quiet", busy = home.path() / "busy";
    scratch::writeFile(quiet, "From a\nStatus: RO\n\nread\n");
    scratch::writeFile(busy, "From a\n\nnew\n");
    start({"-w", "-t", "-i", "1", "-m", "MBOX " + quiet.string(), "-m", "MBOX " + busy.string()});

    // Each cycle takes one blink step: watch the display until the backlight
    // and the new count have changed as often as asked (0: need not change),
    // and tell which states were seen on the way.
    struct Seen {
        std::set<bool> lit;
        std::set<std::string> fresh;
    };
    auto watch = [&](int litChanges, int freshChanges) {
        Seen seen;
        Shown before = read();
        int litSeen = 0, freshSeen = 0;
        EXPECT_TRUE(eventually(
            [&] {
                Shown now = read();
                seen.lit.insert(now.lit);
                seen.fresh.insert(now.fresh);
                litSeen += now.lit != before.lit;
                freshSeen += now.fresh != before.fresh;
                before = now;
                return litSeen >= litChanges && freshSeen >= freshChanges;
            },
            30s))
            << describe();
        return seen;
    };
    // All boxes: status 1, the backlight blinks, the count stays.
    Seen one = watch(2, 0);
    EXPECT_EQ(one.lit.size(), 2u);
    EXPECT_EQ(one.fresh, (std::set<std::string>{"  1"}));
    // Box 2 selected, the only one with new mail: status 2, the count blinks
    // and the backlight stays.
    // The first cycle of status 2 hides the count (status 1 kept it shown) and
    // brings the backlight back to its state before the alert.
    press(1, plusX, buttonY);
    press(1, plusX, buttonY);
    ASSERT_TRUE(eventually([&] {
        last = read();
        return last.box == "02" && last.fresh == "   ";
    })) << describe();
    Seen two = watch(0, 2);
    EXPECT_EQ(two.lit.size(), 1u);
    EXPECT_EQ(two.fresh, (std::set<std::string>{"  1", "   "}));
    // New mail in box 1 too: status 3 from the cycle that finds it, the
    // backlight's first change; then both blink.
    scratch::waitForNextSecond();
    scratch::appendFile(quiet, "From b\n\nnew\n");
    watch(1, 0);
    Seen three = watch(2, 2);
    EXPECT_EQ(three.lit.size(), 2u);
    EXPECT_EQ(three.fresh, (std::set<std::string>{"  1", "   "}));
    // Button 3 stops the blinking. Cycles are witnessed by the total of box
    // 2, which mail that was read raises: after the first, which may bring
    // the backlight back, nothing changes any more.
    press(3, 40, 45);
    auto readMail = [&](const std::string& total) {
        scratch::waitForNextSecond();
        scratch::appendFile(busy, "From r\nStatus: RO\n\nread\n");
        EXPECT_TRUE(eventually([&] {
            last = read();
            return last.total.find(total) != std::string::npos;
        })) << describe();
    };
    readMail("2");
    Shown rested = read();
    std::set<bool> litAfter{rested.lit};
    std::set<std::string> freshAfter{rested.fresh};
    scratch::waitForNextSecond();
    scratch::appendFile(busy, "From r\nStatus: RO\n\nread\n");
    EXPECT_TRUE(eventually([&] {
        last = read();
        litAfter.insert(last.lit);
        freshAfter.insert(last.fresh);
        return last.total.find("3") != std::string::npos;
    })) << describe();
    EXPECT_EQ(litAfter.size(), 1u);
    EXPECT_EQ(freshAfter.size(), 1u);
}

TEST_F(Monitor, ButtonOneElsewhereTogglesTheBacklight) {
    fs::path mbox = home.path() / "mbox";
    scratch::writeFile(mbox, "From a\nStatus: RO\n\nread\n");
    // No threads: the counts are there at the first redraw. An interval of an
    // hour: whatever changes the picture now is the press itself.
    start({"-w", "-t", "-m", "MBOX " + mbox.string(), "-i", "3600"});
    ASSERT_TRUE(shows("--", "0", "1")) << describe();
    EXPECT_FALSE(last.lit);
    press(1, 40, 45);
    EXPECT_TRUE(eventually([&] { return read().lit; }));
    press(1, 40, 45);
    EXPECT_TRUE(eventually([&] { return !read().lit; }));
}

// A box whose store goes away or cannot be read shows the sign over the
// counts it kept, and so does "all boxes"; another box shown looks as
// always. Standard error tells each change once. Mended, the picture is the
// one from before, pixel for pixel.
TEST_F(Monitor, AFailingBoxShowsTheSignAndSaysWhyOnce) {
    for (const char* tool : {"/usr/bin/procmail", "/usr/bin/formail", "/usr/bin/mh/inc"})
        if (!scratch::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    scratch::writeFile(home.path() / ".procmailrc", "");
    fs::path mbox = home.path() / "mbox", maildir = home.path() / "Maildir",
             aside = home.path() / "aside";
    deliverToMbox(home, mbox, 1, true);
    deliverToMbox(home, mbox, 2, false);
    scratch::writeFile(home.path() / "message", "From: a@example.org\nSubject: d\n\nbody\n");
    ASSERT_TRUE(scratch::run(inHome(home) + "procmail DEFAULT=$PWD/Maildir/ < message"));
    std::string nmh = inHome(home) + "MH=$PWD/.mh_profile PATH=/usr/bin/mh:$PATH ";
    ASSERT_TRUE(scratch::run(nmh + "install-mh -auto < /dev/null"));
    scratch::appendFile(home.path() / ".mh_profile", "Unseen-Sequence: unseen\n");
    scratch::writeFile(home.path() / "incoming",
                       "From a@example.org Mon Jan  1 00:00:00 2024\nSubject: h\n\nbody\n\n");
    ASSERT_TRUE(scratch::run(nmh + "inc -file incoming -truncate"));
    fs::path profile = home.path() / ".mh_profile";
    fs::create_directories(home.path() / "inbox");  // the folder name is tested from here too
    fs::current_path(home.path());
    start({"-w", "-s", "-i", "1", "-l", "15", "-m", "MBOX " + mbox.string(), "-m",
           "MAILDIR " + maildir.string(), "-m", "MH inbox"},
          {"MH=" + profile.string()});
    ASSERT_TRUE(showsSign(' ', "--", "3", "4")) << describe() << said();
    const auto allWorking = picture();
    press(1, plusX, buttonY);
    ASSERT_TRUE(showsSign(' ', "01", "1", "2")) << describe();
    const auto mboxWorking = picture();

    const std::string mboxName = "quorvik warning : box \"MBOX " + mbox.string() + "\"";
    fs::rename(mbox, aside);
    checkNow();
    EXPECT_TRUE(showsSign('E', "01", "1", "2")) << describe() << said();
    press(1, plusX, buttonY);
    EXPECT_TRUE(showsSign(' ', "02", "1", "1")) << describe();
    press(1, minusX, buttonY);
    press(1, minusX, buttonY);
    EXPECT_TRUE(showsSign('E', "--", "3", "4")) << describe();
    fs::create_directory(mbox);
    checkNow();
    EXPECT_TRUE(eventually([&] {
        return said().find(mboxName + " fails: the mailbox cannot be read") != std::string::npos;
    })) << said();

    fs::remove(mbox);
    fs::rename(aside, mbox);
    checkNow();
    EXPECT_TRUE(eventually([&] { return picture() == allWorking; })) << describe();
    press(1, plusX, buttonY);
    EXPECT_TRUE(eventually([&] { return picture() == mboxWorking; })) << describe();

    // The Maildir and the MH folder fail in turn, and come back.
    press(1, plusX, buttonY);
    fs::rename(maildir / "cur", aside);
    checkNow();
    EXPECT_TRUE(showsSign('E', "02", "1", "1")) << describe();
    fs::rename(aside, maildir / "cur");
    checkNow();
    EXPECT_TRUE(showsSign(' ', "02", "1", "1")) << describe();
    press(1, plusX, buttonY);
    EXPECT_TRUE(showsSign(' ', "03", "1", "1")) << describe();
    fs::rename(profile, aside);
    checkNow();
    EXPECT_TRUE(showsSign('E', "03", "1", "1")) << describe();
    fs::rename(aside, profile);
    checkNow();
    EXPECT_TRUE(showsSign(' ', "03", "1", "1")) << describe();

    // Mail that comes now shows that the checks went on; no change was
    // told twice.
    const std::string maildirName = "quorvik warning : box \"MAILDIR " + maildir.string() + "\"";
    const std::string mhName = "quorvik warning : box \"MH inbox\"";
    deliverToMbox(home, mbox, 3, false);
    checkNow();
    press(1, plusX, buttonY);
    EXPECT_TRUE(showsSign(' ', "--", "4", "5")) << describe();
    std::string told;
    EXPECT_TRUE(eventually([&] {
        std::istringstream lines(said());
        told.clear();
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("quorvik warning : box ")) told += line + "\n";
        return told.ends_with(mhName + " works again\n");
    })) << said();
    EXPECT_EQ(told, mboxName + " fails: the mailbox does not exist\n" + mboxName +
                        " fails: the mailbox cannot be read\n" + mboxName + " works again\n" +
                        maildirName + " fails: the mailbox does not exist\n" + maildirName +
                        " works again\n" + mhName + " fails: no MH profile names the mail store\n" +
                        mhName + " works again\n");
}

// Started with no box anywhere, the monitor watches the system mailbox:
// $MAIL, else the spool file, and says so; without either it says how to
// add a box. The first box the rc file defines takes the place of the
// system mailbox.
TEST_F(Monitor, AFirstRunWatchesTheSystemMailbox) {
    if (!scratch::run("unshare -m true")) GTEST_SKIP() << "no private mount namespace here";
    TempDir spool;
    fs::path mail = home.path() / "mail";
    scratch::writeFile(mail, "From a\nStatus: RO\n\nread\nFrom b\n\nnew\n");
    scratch::writeFile(spool.path() / "quorvik-test", "From a\n\nnew\nFrom b\n\nnew\n");
    fs::path own = home.path() / "own";
    scratch::writeFile(own, "From a\n\nnew\nFrom b\n\nnew\nFrom c\n\nnew\n");
    // The spool directory of this test stands for /var/mail, in a mount
    // namespace of the monitor's own.
    const std::vector<std::string> inSpool = {"/usr/bin/unshare",
                                              "-m",
                                              "--propagation",
                                              "private",
                                              "/bin/sh",
                                              "-c",
                                              "mount --bind \"$0\" /var/mail && exec \"$@\"",
                                              spool.path().string()};
    const std::string watched = "quorvik warning : no box is defined, so the system mailbox ";
    struct Case {
        const char* name;
        std::vector<std::string> environment;
        std::string message;
        std::string fresh, total;
    };
    for (const Case& c : std::vector<Case>{
             {"$MAIL",
              {"MAIL=" + mail.string(), "USER=quorvik-test"},
              watched + mail.string() + " is watched; quorvik-config adds your own boxes\n",
              "1",
              "2"},
             {"the spool file",
              {"MAIL", "USER=quorvik-test"},
              watched + "/var/mail/quorvik-test is watched; quorvik-config adds your own boxes\n",
              "2",
              "2"},
             {"neither",
              {"MAIL=" + (home.path() / "none").string(), "USER=quorvik-none"},
              "quorvik warning : no box is defined and there is no system mailbox; add your "
              "boxes with quorvik-config (Control and button 2 on the applet) or with -m "
              "\"MBOX /path/to/mbox\"\n",
              "0",
              "0"},
         }) {
        SCOPED_TRACE(c.name);
        fs::remove(home.path() / ".quorvikrc");
        saidSoFar.clear();
        start({"-w", "-s"}, c.environment, inSpool);
        EXPECT_TRUE(shows("--", c.fresh, c.total)) << describe() << said();
        EXPECT_TRUE(eventually([&] { return said().find('\n') != std::string::npos; }));
        EXPECT_EQ(said(), c.message);

        // The editor saves a box: the monitor watches that one alone.
        scratch::writeFile(home.path() / ".quorvikrc.new", "Mailbox = MBOX " + own.string() + "\n");
        fs::rename(home.path() / ".quorvikrc.new", home.path() / ".quorvikrc");
        checkNow();
        EXPECT_TRUE(shows("--", "3", "3")) << describe() << said();
        monitor.reset();
    }
}

// Button 1 on plus or minus shows the new box with its own counts at once.
// No threads and an interval of an hour: no cycle runs meanwhile.
TEST_F(Monitor, SteppingShowsTheNewBoxsCountsAtOnce) {
    fs::path one = home.path() / "one", two = home.path() / "two";
    scratch::writeFile(one, "From a\n\nnew\nFrom b\nStatus: RO\n\nread\n");
    scratch::writeFile(two, "From a\n\nnew\nFrom b\n\nnew\nFrom c\n\nnew\n");
    start({"-w", "-t", "-s", "-i", "3600", "-m", "MBOX " + one.string(), "-m",
           "MBOX " + two.string()});
    ASSERT_TRUE(shows("--", "4", "5")) << describe();
    const struct {
        int x;
        const char *box, *fresh, *total;
    } steps[] = {{plusX, "01", "1", "2"},
                 {plusX, "02", "3", "3"},
                 {minusX, "01", "1", "2"},
                 {minusX, "--", "4", "5"},
                 {minusX, "02", "3", "3"}};
    for (const auto& step : steps) {
        press(1, step.x, buttonY);
        EXPECT_TRUE(shows(step.box, step.fresh, step.total)) << describe();
    }
}

TEST_F(Monitor, ButtonTwoStartsTheCommandAndControlTheEditor) {
    fs::path record = home.path() / "editor-arguments";
    scratch::writeFile(bin / "quorvik-config",
                       "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > '" +
                           record.string() + ".tmp'\nmv '" + record.string() + ".tmp' '" +
                           record.string() + "'\n");
    fs::permissions(bin / "quorvik-config", fs::perms::owner_all);
    fs::path rcDirectory = home.path() / "my settings";
    fs::create_directories(rcDirectory);
    fs::path rc = rcDirectory / "it's $HOME;rc";
    fs::path mbox = home.path() / "mbox";
    scratch::writeFile(mbox, "From a\n\nnew\n");
    scratch::writeFile(rc, "Mailbox = MBOX " + mbox.string() + "\n");
    fs::path ran = home.path() / "command-ran";
    start({"-w", "-f", rc.string(), "-x", "echo >> '" + ran.string() + "'"});

    press(2, 40, 45, true);
    ASSERT_TRUE(eventually([&] { return fs::exists(record); }));
    EXPECT_EQ(scratch::readFile(record), "[-f][" + rc.string() + "]");
    EXPECT_FALSE(fs::exists(ran));
    press(2, 40, 45);
    EXPECT_TRUE(eventually([&] { return fs::exists(ran); }));
    for (int i = 0; i < 10; ++i) press(2, 40, 45);
    EXPECT_TRUE(eventually([&] { return scratch::readFile(ran).size() == 11; }));
    // The launcher's first children are gone and none stayed a zombie.
    EXPECT_TRUE(eventually([&] { return scratch::childrenOf(monitor->pid()) == 0; }));
    EXPECT_EQ(scratch::zombieChildrenOf(monitor->pid()), 0);
}

TEST_F(Monitor, CloseRequestOfTheWindowManagerEndsWithStatusZero) {
    WindowMaker windowMaker(sharedDisplay());
    fs::path mbox = home.path() / "mbox";
    scratch::writeFile(mbox, "From a\n\nnew\n");
    // Dock mode: the window manager takes the icon window into its dock.
    monitor.emplace(
        std::vector<std::string>{monitorPath, "-m", "MBOX " + mbox.string()},
        std::vector<std::string>{"DISPLAY=" + sharedDisplay(), "HOME=" + home.path().string()});
    // Taken into the dock: the icon window is viewable inside a tile.
    ASSERT_TRUE(eventually([&] { return iconWindowShown(); })) << monitor->errorText();
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = windows.iconWin;
    message.xclient.message_type = XInternAtom(*display, "WM_PROTOCOLS", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = static_cast<long>(XInternAtom(*display, "WM_DELETE_WINDOW", False));
    message.xclient.data.l[1] = CurrentTime;
    XSendEvent(*display, windows.iconWin, False, NoEventMask, &message);
    XSync(*display, False);
    EXPECT_EQ(monitor->wait(30s), 0) << monitor->errorText();
}

// Hostile peers all at once: servers that flood, never end a line, send NUL
// bytes or numbers beyond 32 bits, answer late, trickle, reset mid-reply,
// break TLS or never speak it, refuse one more connection, refuse the
// password late, say BYE in IDLE or flood NOTIFY news, and an address that
// drops every packet;
// mailboxes that are binary, enormous, truncated or replaced while
// read; an rc file replaced all the while. The monitor stays alive and
// small, answers presses while checks wait on servers, and keeps the good
// box's counts right. (bench/monitor times the presses.)
TEST_F(Monitor, HostilePeersNeitherStallNorBloatIt) {
    fs::path servers = QUORVIK_SOURCE_DIR "/tests/data/hostile/servers.py";
    std::vector<std::string> places{
        "endless=127.0.0.2:143",    "endless-lines=127.0.0.3:143", "reset=127.0.0.4:143",
        "broken-tls=127.0.0.5:995", "silent=127.0.0.6:143",        "trickle=127.0.0.7:143",
        "silent-tls=127.0.0.8:993", "limit=127.0.0.9:143",         "late-no=127.0.0.10:143",
        "bye=127.0.0.11:143",       "flood=127.0.0.12:143"};
    std::vector<std::string> argv{"/usr/bin/python3", servers.string()};
    argv.insert(argv.end(), places.begin(), places.end());
    Child hostile(argv);
    std::map<std::string, std::string> port;
    for (auto line = hostile.readLine(); line && *line != "ready"; line = hostile.readLine()) {
        auto blank = line->find(' ');
        port[line->substr(0, blank)] = line->substr(blank + 1);
    }
    ASSERT_EQ(port.size(), 15u) << hostile.errorText();
    // Packets to this test network are routed to the loopback device, which
    // drops them: a connect there never completes. The test's network
    // namespace goes with the route.
    ASSERT_EQ(std::system("ip route replace 198.51.100.0/24 dev lo"), 0);

    fs::path good = home.path() / "good", binary = home.path() / "binary",
             enormous = home.path() / "enormous", truncated = home.path() / "truncated",
             replaced = home.path() / "replaced";
    scratch::writeFile(good, "From a\nSubject: fine\n\nnew\n");
    std::string noise(1 << 20, '\0');
    std::mt19937 random(11);
    for (char& c : noise) c = static_cast<char>(random());
    scratch::writeFile(binary, noise);
    {
        std::ofstream(enormous).close();
        fs::resize_file(enormous, std::uintmax_t{1} << 30);  // a gigabyte of zeros, sparse
    }
    scratch::writeFile(truncated, "From a\nSubject: cut in the midd");
    scratch::writeFile(replaced, "From a\n\nx\n");
    std::string boxes = "Mailbox = MBOX " + good.string() + "\nMailbox = MBOX " + binary.string() +
                        "\nMailbox = MBOX " + enormous.string() + "\nMailbox = MBOX " +
                        truncated.string() + "\nMailbox = MBOX " + replaced.string() +
                        "\nMailbox = IMAP 127.0.0.2 u p\nMailbox = IMAP 127.0.0.3 u p\n"
                        "Mailbox = POP3 127.0.0.1:" +
                        port["no-line-ends"] +
                        " u p\nMailbox = POP3 127.0.0.1:" + port["nul-bytes"] +
                        " u p\nMailbox = POP3 127.0.0.1:" + port["huge-numbers"] +
                        " u p\nMailbox = POP3 127.0.0.1:" + port["late"] +
                        " u p\nMailbox = IMAP 127.0.0.4 u p\nMailbox = POP3 127.0.0.5:995 u p\n"
                        "Mailbox = IMAP 127.0.0.6 u p\nMailbox = IMAP 127.0.0.7 u p\n"
                        "Mailbox = IMAP 127.0.0.8:993 u p\nMailbox = IMAP 198.51.100.7:993 u p\n"
                        "Mailbox = IMAP 127.0.0.9 u p\nMailbox = IMAP 127.0.0.10 u p\n"
                        "Mailbox = IMAP 127.0.0.11 u p\nMailbox = IMAP 127.0.0.12 u p\n";
    fs::path rc = home.path() / "rc";
    // Replaced as the editor saves it, while the monitor may be reading it.
    auto writeRc = [&](int round) {
        std::string text =
            "CheckDelay = 15\nInterval = " + std::to_string(1 + round % 2) + "\n" + boxes;
        scratch::writeFile(rc.string() + ".new", text);
        fs::rename(rc.string() + ".new", rc);
    };
    writeRc(0);
    start({"-w", "-f", rc.string()});

    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread rewriter([&] {
        for (int round = 1; !stop; ++round) {
            writeRc(round);
            scratch::writeFile(replaced.string() + ".new", std::string(round % 7 * 1000, 'F'));
            fs::rename(replaced.string() + ".new", replaced);
            ++rounds;
            std::this_thread::sleep_for(100ms);
        }
    });

    // Twenty presses, each after a rewrite of the rc file, with a scheduler
    // pass started every fifth: each steps the selection and shows.
    const int boxCount = 21;
    int expected = 0;
    long largestResident = 0;
    for (int press = 0; press < 20; ++press) {
        if (press % 5 == 0) checkNow();
        if (press == 0) {
            // A check is held by the server that trickles its greeting...
            std::optional<std::string> line;
            do line = hostile.readLine(30s);
            while (line && *line != "open trickle");
            ASSERT_TRUE(line) << hostile.errorText();
        }
        expected = expected + 1 > boxCount ? 0 : expected + 1;
        std::string cells = expected == 0   ? "--"
                            : expected < 10 ? "0" + std::to_string(expected)
                                            : std::to_string(expected);
        this->press(1, plusX, buttonY);
        EXPECT_TRUE(eventually([&] { return read().box == cells; }))
            << "press " << press << ": " << read().box;
        // ...and the press was shown while that check still waited on it.
        if (press == 0) {
            // (Another connection may have come meanwhile: a push session's.)
            for (auto line = hostile.readLine(0ms); line; line = hostile.readLine(0ms))
                EXPECT_NE(*line, "closed trickle");
        }
        std::ifstream status("/proc/" + std::to_string(monitor->pid()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0)
                largestResident = std::max(largestResident, std::atol(line.c_str() + 6));
        ASSERT_FALSE(monitor->wait(0ms)) << "the monitor ended: " << monitor->errorText();
        int seen = rounds;
        ASSERT_TRUE(eventually([&] { return rounds > seen; }));
    }
    stop = true;
    rewriter.join();
    EXPECT_LT(largestResident, 64 * 1024) << "kB";

    // Back to the first box: its counts are right; a hostile one kept 0 and 0.
    while (expected != 1) {
        expected = expected + 1 > boxCount ? 0 : expected + 1;
        this->press(1, plusX, buttonY);
    }
    EXPECT_TRUE(shows("01", "1", "1")) << describe();
    for (int i = 0; i < 7; ++i) this->press(1, plusX, buttonY);
    EXPECT_TRUE(shows("08", "0", "0")) << describe();
    // Counted before the server said BYE, or while it floods its news.
    for (int i = 0; i < 12; ++i) this->press(1, plusX, buttonY);
    EXPECT_TRUE(shows("20", "4", "9")) << describe();
    this->press(1, plusX, buttonY);
    EXPECT_TRUE(shows("21", "4", "9")) << describe();
}

// An IMAP folder kept in IDLE on dovecot: mail appended by another client
// shows at once, though the scheduler's passes are an hour apart.
TEST_F(Monitor, MailAppendedOnDovecotShowsAtOnce) {
    const std::string& dovecot = dovecotDirectory();
    start({"-w", "-s", "-l", "3600", "-m", "IMAP localhost:993 carol empty"},
          {"SSL_CERT_DIR=" + dovecot + "/certs"});
    for (const char* total : {"1", "2"}) {
        std::string append =
            "python3 -c \"import imaplib, ssl; c = imaplib.IMAP4_SSL('localhost', 993, "
            "ssl_context=ssl.create_default_context(capath='" +
            dovecot +
            "/certs')); c.login('carol', 'empty'); c.append('INBOX', '', None, b'From: "
            "a@example.org\\r\\nSubject: s\\r\\n\\r\\nbody\\r\\n'); c.logout()\"";
        ASSERT_TRUE(scratch::run(append));
        EXPECT_TRUE(shows("--", total, total, 30s)) << describe() << monitor->errorText();
    }
}

// A server that refuses the password, cannot be reached or shows a
// certificate that the remembered servers refuse: the real monitor lights
// the sign over the counts its box kept and says why once; mended, the sign
// goes, and where the box worked before, the picture is the one from before.
namespace {

enum class ServerFault { wrongPassword, unreachable, refusedCertificate };

std::string nameOf(ServerFault fault) {
    switch (fault) {
    case ServerFault::wrongPassword:
        return "WrongPassword";
    case ServerFault::unreachable:
        return "Unreachable";
    case ServerFault::refusedCertificate:
        return "RefusedCertificate";
    }
    return "";
}

void PrintTo(ServerFault fault, std::ostream* out) { *out << nameOf(fault); }

class FailingServer : public Monitor, public testing::WithParamInterface<ServerFault> {};

INSTANTIATE_TEST_SUITE_P(Monitor, FailingServer,
                         testing::Values(ServerFault::wrongPassword, ServerFault::unreachable,
                                         ServerFault::refusedCertificate),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace

TEST_P(FailingServer, ShowsTheSignUntilMended) {
    const std::string& dovecot = dovecotDirectory();
    const ServerFault fault = GetParam();
    // 127.0.0.4 refuses a wrong password after dovecot's default delay.
    const std::string server =
        fault == ServerFault::refusedCertificate ? "localhost:993" : "127.0.0.4:993";
    fs::path rc = home.path() / "rc", servers = home.path() / ".quorvik-servers";
    // Replaced as the editor saves it.
    auto writeRc = [&](const std::string& password) {
        scratch::writeFile(rc.string() + ".new",
                           "Mailbox = IMAP " + server + " alice " + password + "\n");
        fs::rename(rc.string() + ".new", rc);
    };
    std::vector<std::string> environment;
    std::optional<CutOff> cut;
    std::string reason;
    switch (fault) {
    case ServerFault::wrongPassword:
        environment.push_back("SSL_CERT_DIR=" + dovecot + "/certs");
        reason = "the sign-in was refused";
        break;
    case ServerFault::unreachable:
        environment.push_back("SSL_CERT_DIR=" + dovecot + "/certs");
        cut.emplace("127.0.0.4");
        reason = "the server cannot be reached";
        break;
    case ServerFault::refusedCertificate: {
        // Remembered with another certificate, which cannot be verified.
        std::string fingerprint = "00";
        for (int at = 1; at < 32; ++at) fingerprint += ":00";
        scratch::writeFile(servers, "localhost:993 pinned " + fingerprint + "\n");
        reason = "the server's identity was refused";
        break;
    }
    }
    writeRc("secret");
    start({"-w", "-s", "-i", "1", "-f", rc.string()}, environment);
    const std::string box = "quorvik warning : box \"IMAP " + server + " alice\"";

    std::vector<uint32_t> working;
    if (fault == ServerFault::wrongPassword) {
        ASSERT_TRUE(showsSign(' ', "--", "2", "5")) << describe() << said();
        working = picture();
        writeRc("wrong");
        EXPECT_TRUE(showsSign('E', "--", "2", "5")) << describe() << said();
    } else {
        EXPECT_TRUE(showsSign('E', "--", "0", "0")) << describe() << said();
    }
    EXPECT_TRUE(eventually([&] {
        return said().find(box + " fails: " + reason + "\n") != std::string::npos;
    })) << said();

    switch (fault) {
    case ServerFault::wrongPassword:
        writeRc("secret");  // a reload tries it at once
        break;
    case ServerFault::unreachable:
        cut->mend();
        checkNow();
        break;
    case ServerFault::refusedCertificate:
        scratch::writeFile(servers, "");  // as the warning says: the line deleted
        checkNow();
        break;
    }
    EXPECT_TRUE(showsSign(' ', "--", "2", "5")) << describe() << said();
    if (!working.empty()) EXPECT_TRUE(eventually([&] { return picture() == working; }));
    EXPECT_TRUE(eventually([&] {
        return said().find(box + " works again\n") != std::string::npos;
    })) << said();
    EXPECT_EQ(scratch::occurrences(said(), box + " fails"), 1) << said();
}

// Two monitors of one user, as on two displays, meet servers over TLS at the
// same time, six each: the servers file keeps all twelve, round after round.
// Each name of the tests' dovecot (host and port) is a server of its own.
TEST_F(Monitor, TwoMonitorsMeetingServersAtOnceForgetNone) {
    dovecotDirectory();
    std::vector<std::pair<std::string, std::string>> servers;  // box definition, name in the file
    for (std::string host : {"localhost", "127.0.0.1", "[::1]"})
        for (std::string box : {"IMAP :993", "IMAP :143", "IMAP :220", "POP3 :995"}) {
            std::string port = box.substr(box.find(':') + 1);
            servers.emplace_back(box.substr(0, 5) + host + ":" + port + " alice",
                                 host + ":" + port);
        }
    for (int round = 1; round <= 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::path roundHome = home.path() / std::to_string(round);
        fs::create_directories(roundHome);
        // The password command runs once a server has been judged (and
        // learned): its lines tell when every check got that far.
        fs::path asked = roundHome / "asked";
        std::optional<Child> monitors[2];
        for (int which = 0; which < 2; ++which) {
            std::string rc = "Push = off\nCheckDelay = 3600\nPasswordCommand = echo >> '" +
                             asked.string() + "'; echo secret\n";
            for (int at = which * 6; at < which * 6 + 6; ++at)
                rc += "Mailbox = " + servers[static_cast<std::size_t>(at)].first + "\n";
            fs::path rcFile = roundHome / ("rc" + std::to_string(which));
            scratch::writeFile(rcFile, rc);
            monitors[which].emplace(
                std::vector<std::string>{monitorPath, "-w", "-f", rcFile.string()},
                std::vector<std::string>{"DISPLAY=" + sharedDisplay(),
                                         "HOME=" + roundHome.string()});
        }
        auto lines = [](const fs::path& file) {
            std::string text = scratch::readFile(file);
            return std::count(text.begin(), text.end(), '\n');
        };
        ASSERT_TRUE(eventually([&] { return lines(asked) == 12; }, 30s))
            << monitors[0]->errorText() << monitors[1]->errorText();
        std::string remembered = scratch::readFile(roundHome / ".quorvik-servers"), wrong;
        for (const auto& [definition, name] : servers) {
            std::string line = "\n" + name + " pinned ";
            int times = 0;
            for (auto at = remembered.find(line); at != std::string::npos;
                 at = remembered.find(line, at + 1))
                ++times;
            if (times != 1) wrong += name + " " + std::to_string(times) + " times\n";
        }
        EXPECT_EQ(wrong, "") << remembered;
    }
}

// The two programs share the rc file: what the editor's writer saves, the
// running monitor follows, the default box included.
TEST_P(Follows, TheFileTheEditorSaves) {
    fs::path one = home.path() / "one", two = home.path() / "two";
    scratch::writeFile(one, "From a\nStatus: RO\n\nread\nFrom b\n\nnew\n");
    scratch::writeFile(two, "From a\n\nnew\nFrom b\n\nnew\nFrom c\n\nnew\n");
    fs::path rc = home.path() / ".quorvikrc";
    resetEditorSettings();
    EditorSettings& settings = editorSettings();
    settings.rcPath = rc.string();
    settings.CheckDelay = std::stoi(checkDelay());
    settings.Blink = 0;
    if (!pushed()) settings.Push = 0;
    ASSERT_TRUE(addBoxEntry(settings.entryList, "MBOX " + one.string()));
    ASSERT_TRUE(saveRcFile());
    start({"-w"});  // the rc file in the home directory
    EXPECT_TRUE(shows("--", "1", "2")) << describe();

    beforeChange();
    ASSERT_TRUE(addBoxEntry(settings.entryList, "MBOX " + two.string()));
    settings.DefaultBox = 2;  // the second box, counted from 1
    ASSERT_TRUE(saveRcFile());
    afterChange();
    EXPECT_TRUE(shows("02", "3", "3", 30s)) << describe();
    resetEditorSettings();
}

// A password command that hangs holds only the thread that waits for it:
// the display answers presses meanwhile, and at ten seconds a warning says
// it still runs. It never outlives the monitor: its process group goes when
// the monitor goes. (Its end at the limit of 2 minutes is tested on a
// shorter limit with the credential commands.)
// Two accounts whose password commands hang at once: the display goes on,
// and neither command outlives the monitor (the helper that runs one must
// not hold the other's way of being stopped).
TEST_F(Monitor, HangingPasswordCommandsNeitherStallTheDisplayNorOutliveTheMonitor) {
    auto refusing = [](Peer& peer) {
        peer.say("* OK ready\r\n");
        std::string line;
        while (peer.hear(line, 60s)) {
            std::string tag = line.substr(0, line.find(' '));
            if (line.ends_with(" CAPABILITY"))
                peer.say("* CAPABILITY IMAP4rev1\r\n" + tag + " OK\r\n");
            else if (line.find(" LOGIN ") != std::string::npos)
                peer.say(tag + " NO [AUTHENTICATIONFAILED] no\r\n");
            else
                return;
        }
    };
    ScriptedServer first("127.0.0.1", 143, refusing), second("127.0.0.2", 143, refusing);
    ASSERT_TRUE(first.ready() && second.ready());
    fs::path pidFile = home.path() / "command-pid", mbox = home.path() / "mbox";
    scratch::writeFile(mbox, "From a\nStatus: RO\n\nread\n");
    fs::path rc = home.path() / "rc";
    // The scratch path holds no character the shell would take.
    std::string named = "\"" + pidFile.string() + "-$QUORVIK_SERVER";
    scratch::writeFile(
        rc, "PasswordCommand = echo $$ > " + named + ".new\" && mv " + named + ".new\" " + named +
                "\"; exec sleep 600\nMailbox = MBOX " + mbox.string() +
                "\nMailbox = IMAP 127.0.0.1 alice\nMailbox = IMAP 127.0.0.2 alice\n");
    start({"-w", "-f", rc.string()});

    pid_t commands[2] = {0, 0};
    ASSERT_TRUE(eventually(
        [&] {
            return bool(std::ifstream(pidFile.string() + "-127.0.0.1") >> commands[0]) &&
                   bool(std::ifstream(pidFile.string() + "-127.0.0.2") >> commands[1]);
        },
        30s))
        << monitor->errorText();
    auto running = [](pid_t command) {
        std::ifstream stat("/proc/" + std::to_string(command) + "/stat");
        std::string line;
        return std::getline(stat, line) && line.find(") Z ") == std::string::npos;
    };
    bool lit = read().lit;
    press(1, 40, 45);
    EXPECT_TRUE(eventually([&] { return read().lit != lit; }));
    EXPECT_TRUE(running(commands[0]) && running(commands[1]))
        << "the press was not shown while the commands hung";

    // A command may be waiting on a person: it is said to be still running
    // at ten seconds, and left to run.
    std::string said;
    auto warned = [&](const char* server) {
        return said.find(std::string("quorvik warning : the password command for alice@") + server +
                         ":143 is still running after 10 seconds\n") != std::string::npos;
    };
    EXPECT_TRUE(eventually(
        [&] {
            said += monitor->errorText();
            return warned("127.0.0.1") && warned("127.0.0.2");
        },
        60s))
        << said;
    EXPECT_TRUE(running(commands[0]) && running(commands[1]));
    EXPECT_FALSE(monitor->wait(0ms)) << monitor->errorText();
    // The process between the monitor and a command holds none of the
    // monitor's connections (the X server's, a mail server's), which would
    // otherwise stay open while the command runs.
    auto helperHoldsASocket = [](pid_t command) {
        std::ifstream stat("/proc/" + std::to_string(command) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        char state = 0;
        pid_t helper = 0;
        fields >> state >> helper;
        std::error_code error;
        for (const auto& entry :
             fs::directory_iterator("/proc/" + std::to_string(helper) + "/fd", error))
            if (fs::read_symlink(entry.path(), error).string().starts_with("socket:")) return true;
        return false;
    };
    for (pid_t command : commands) EXPECT_FALSE(helperHoldsASocket(command));

    monitor.reset();
    for (pid_t command : commands) EXPECT_TRUE(eventually([&] { return !running(command); }));
}

// How a mail reaches a box, in two steps: `prepare` puts one message there,
// read, before the monitor starts (the counts shown then prove the box
// counted), and `deliver` brings the new one once it runs.
struct Delivery {
    const char* name;
    std::vector<const char*> tools;
    std::function<std::string(const TempDir& home)> box;  // its definition
    std::function<bool(const TempDir&home, const std::string&message)> prepare, deliver;
    friend void PrintTo(const Delivery& delivery, std::ostream* out) { *out << delivery.name; }
};

// Another client appends the message to carol's INBOX of the tests' dovecot.
bool appendOnDovecot(const TempDir& home, const std::string& message, const std::string& flags) {
    fs::path file = home.path() / "appended", script = home.path() / "append.py";
    scratch::writeFile(file, message);
    scratch::writeFile(script,
                       "import imaplib, ssl\n"
                       "c = imaplib.IMAP4_SSL('localhost', 993, ssl_context="
                       "ssl.create_default_context(capath='" +
                           dovecotDirectory() +
                           "/certs'))\n"
                           "c.login('carol', 'empty')\n"
                           "c.append('INBOX', '" +
                           flags + "', None, open('" + file.string() +
                           "', 'rb').read())\n"
                           "c.logout()\n");
    return scratch::run("python3 " + script.string()).has_value();
}

class Notifies : public Monitor, public testing::WithParamInterface<Delivery> {};

INSTANTIATE_TEST_SUITE_P(
    Monitor, Notifies,
    testing::Values(
        Delivery{"ProcmailIntoAnMbox",
                 {"/usr/bin/procmail"},
                 [](const TempDir& home) { return "MBOX " + (home.path() / "mbox").string(); },
                 [](const TempDir& home, const std::string& message) {
                     scratch::writeFile(home.path() / ".procmailrc", "");
                     scratch::writeFile(home.path() / "mbox",
                                        "From s@example.org  Mon Jan  1 00:00:00 2024\n"
                                        "Status: RO\n" +
                                            message);
                     return true;
                 },
                 [](const TempDir& home, const std::string& message) {
                     scratch::writeFile(home.path() / "message", message);
                     return scratch::run(inHome(home) + "procmail -f s@example.org DEFAULT=" +
                                         (home.path() / "mbox").string() + " < message")
                         .has_value();
                 }},
        Delivery{"AppendOnDovecot",
                 {"/usr/bin/python3"},
                 [](const TempDir&) { return std::string("IMAP localhost:993 carol empty"); },
                 [](const TempDir& home, const std::string& message) {
                     return appendOnDovecot(home, message, "(\\\\Seen)");
                 },
                 [](const TempDir& home, const std::string& message) {
                     return appendOnDovecot(home, message, "");
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// The Notify line of the example rc file, run by the real monitor and shown
// by a real notification daemon (dunst) on a session bus of the test's own:
// a real delivery brings a notification that names the sender and the
// subject, whose shell words stay text. With Push on (the default) the
// monitor hears of the mail itself; the check-now signal stands for a pass.
TEST_P(Notifies, NewMailBringsADesktopNotificationNamingSenderAndSubject) {
    const Delivery& delivery = GetParam();
    std::vector<const char*> tools{"/usr/bin/dbus-daemon", "/usr/bin/dunst",
                                   "/usr/bin/notify-send"};
    tools.insert(tools.end(), delivery.tools.begin(), delivery.tools.end());
    for (const char* tool : tools)
        if (!scratch::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    std::string notifyLine;
    std::ifstream example(QUORVIK_SOURCE_DIR "/examples/quorvikrc");
    for (std::string line; std::getline(example, line);)
        if (line.starts_with("#Notify = notify-send")) notifyLine = line.substr(1);
    ASSERT_FALSE(notifyLine.empty());

    Child bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"});
    auto address = bus.readLine();
    ASSERT_TRUE(address) << bus.errorText();
    std::string busVariable = "DBUS_SESSION_BUS_ADDRESS=" + *address;
    Child daemon({"/usr/bin/dunst", "-print"},
                 {"DISPLAY=" + sharedDisplay(), "HOME=" + home.path().string(), busVariable});
    // notify-send finds no daemon until dunst holds its name on the bus.
    ASSERT_TRUE(eventually([&] {
        auto owner = scratch::run(
            busVariable +
            " dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
            "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null");
        return owner && owner->find("boolean true") != std::string::npos;
    })) << daemon.errorText();

    fs::current_path(home.path());  // where a subject that ran as code would leave its file
    std::string box = delivery.box(home);
    ASSERT_TRUE(delivery.prepare(home, "From: s@example.org\nSubject: read\n\nbody\n"));
    scratch::writeFile(home.path() / ".quorvikrc", "Mailbox = " + box + "\n" + notifyLine + "\n");
    std::vector<std::string> environment{busVariable};
    if (box.starts_with("IMAP"))
        environment.push_back("SSL_CERT_DIR=" + dovecotDirectory() + "/certs");
    start({"-w", "-s"}, environment);
    ASSERT_TRUE(shows("--", "0", "1")) << describe() << monitor->errorText();

    ASSERT_TRUE(delivery.deliver(home,
                                 "From: =?UTF-8?Q?Ann_=C3=85berg?= <ann@example.org>\n"
                                 "Subject: =?UTF-8?Q?Lunch=3F?= $(touch pwned) `touch pwned`\n\n"
                                 "body\n"));
    checkNow();
    std::string summary, body;
    while (body.empty()) {
        auto line = daemon.readLine(30s);
        ASSERT_TRUE(line) << daemon.errorText() << monitor->errorText();
        if (line->starts_with("\tsummary: ")) summary = *line;
        if (line->starts_with("\tbody: ")) body = *line;
    }
    EXPECT_EQ(summary, "\tsummary: 'New mail from Ann Åberg <ann@example.org>'");
    EXPECT_EQ(body, "\tbody: 'Lunch? $(touch pwned) `touch pwned`'");
    EXPECT_FALSE(fs::exists(home.path() / "pwned"));
}
