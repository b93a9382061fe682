// quorvik-config as a process: its options, and the window under Xvfb driven
// from outside as a user and a window manager would.

// gtest before Xlib, whose macro None clashes with gtest's names.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
// clang-format on
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/editor/testfiles.h"
#include "tests/support/xvfb.h"

using editortest::dataDir;
using editortest::readFile;
using editortest::TempDir;
using editortest::writeFile;

namespace {

std::optional<Xvfb> server;

// The editor started by the tests finds the server through DISPLAY.
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        server.emplace(XvfbScreen{.width = 1024, .height = 768});
        setenv("DISPLAY", server->name().c_str(), 1);
    }
    void TearDown() override { server.reset(); }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

const std::string usage =
    "Usage: Quorvik-Config-config [-h] [-v] [-f filename]\n"
    " -h          : short usage help\n"
    " -v          : show version\n"
    " -f filename : edit filename\n"
    "\n";
const std::string version = "Quorvik-Config-config by the quorvik developers - v 2.2.1\n";

// How long a condition is waited for before the test gives up on it.
constexpr auto waitBound = std::chrono::seconds(30);

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the editor with its output in files of `dir`; `display` false starts
// it without DISPLAY. `whileRunning` acts on it before it is waited for.
class Program {
public:
    Program(const TempDir& outputs, const std::vector<std::string>& argv, bool display,
            const std::vector<std::string>& variables = {})
        : dir(outputs) {
        pid = fork();
        if (pid == 0) {
            // A group of its own: the editor a shell starts goes with it.
            setpgid(0, 0);
            int out = open(dir.path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(dir.path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            if (!display) unsetenv("DISPLAY");
            for (const std::string& setting : variables) putenv(strdup(setting.c_str()));
            std::vector<char*> args;
            for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        setpgid(pid, pid);  // also here: the destructor may come before the child ran
    }
    ~Program() {
        if (pid > 0) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Waits for the program to end; the bound only keeps a hung program from
    // hanging the test.
    Outcome wait() {
        Outcome outcome;
        auto deadline = std::chrono::steady_clock::now() + waitBound;
        while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        outcome.out = readFile(dir.path("stdout"));
        outcome.err = readFile(dir.path("stderr"));
        return outcome;
    }

private:
    const TempDir& dir;
    pid_t pid = -1;
};

const std::string editor = EDITOR_PROGRAM;

// A client of the test's own on the same display.
class XClient {
public:
    XClient() : display(XOpenDisplay(server->name().c_str())) {}
    ~XClient() {
        if (display) XCloseDisplay(display);
    }

    // The editor's top-level window once it is viewable, or 0.
    Window waitForEditor() {
        auto deadline = std::chrono::steady_clock::now() + waitBound;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Window window = findViewable("Quorvik-Config")) return window;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
    }

    // Presses and releases the first button at the window's lower left,
    // where " Save " sits. GTK lays out every widget before it maps the
    // window and takes X events in order, so once the window is viewable the
    // press reaches the button.
    void clickSave(Window window) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display, window, &attributes);
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(display, window, DefaultRootWindow(display), attributes.width / 4,
                              attributes.height - 14, &x, &y, &child);
        XTestFakeMotionEvent(display, -1, x, y, 0);
        XTestFakeButtonEvent(display, 1, True, 0);
        XTestFakeButtonEvent(display, 1, False, 0);
        XSync(display, False);
    }

    // What a window manager sends when the user closes the window.
    void requestClose(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        XSync(display, False);
    }

    bool connected() const { return display != nullptr; }

private:
    Window findViewable(const char* title) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
            return 0;
        for (unsigned i = 0; i < count && !found; ++i) {
            char* name = nullptr;
            if (XFetchName(display, children[i], &name) && name) {
                XWindowAttributes attributes{};
                if (std::string(name) == title &&
                    XGetWindowAttributes(display, children[i], &attributes) &&
                    attributes.map_state == IsViewable)
                    found = children[i];
                XFree(name);
            }
        }
        if (children) XFree(children);
        return found;
    }

    Display* display;
};

}  // namespace

TEST(Program, OptionsAndExitStatuses) {
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{"-h"}, version + usage, ""},
        {{"-v"}, version, ""},
        {{"-version"}, version, ""},
        {{"-x"}, "Unknown option: -x\n" + usage, ""},
        {{"bare"}, usage, "Unknown option: bare\n"},
        {{"-f"}, usage, ""},
        {{"-f", "some-file", "-f"}, usage, ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " ... (" + std::to_string(c.args.size()) + ")");
        std::vector<std::string> argv{editor};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Outcome outcome = Program(dir, argv, false).wait();
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
    }
}

TEST(Program, SaveFromTheMonitorsCommandLine) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.path("mail dir").c_str(), 0700), 0);
    std::string path = dir.path("mail dir/quorvik rc");
    writeFile(path, "Interval = 4\nMailbox = MBOX " + dataDir + "/mbox-sample\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    XClient x;
    ASSERT_TRUE(x.connected());

    // The monitor hands the shell "quorvik-config -f " and the quoted path.
    Program program(dir, {"/bin/sh", "-c", editor + " -f  '" + path + "'"}, true);
    Window window = x.waitForEditor();
    ASSERT_NE(window, 0u);
    x.clickSave(window);
    Outcome outcome = program.wait();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    std::string saved = readFile(path);
    EXPECT_EQ(saved.rfind("# AUTOGENERATED configuration file for quorvik\n", 0), 0u);
    EXPECT_NE(saved.find("\nInterval = 4\n"), std::string::npos);
    EXPECT_NE(saved.find("\nMailbox = MBOX " + dataDir + "/mbox-sample   \n"), std::string::npos);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST(Program, SaveCreatesTheDefaultFile) {
    TempDir dir;
    XClient x;
    ASSERT_TRUE(x.connected());
    Program program(dir, {editor}, true, {"HOME=" + dir.get()});
    Window window = x.waitForEditor();
    ASSERT_NE(window, 0u);
    x.clickSave(window);
    Outcome outcome = program.wait();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");  // no message for a default file that does not exist yet
    std::string path = dir.path(".quorvikrc");
    EXPECT_EQ(readFile(path), readFile(dataDir + "/defaults.saved"));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(Program, ClosingTheWindowWritesNothing) {
    TempDir dir;
    std::string path = dir.path("rc");
    const std::string original = "Interval = 4\n";
    writeFile(path, original);
    XClient x;
    ASSERT_TRUE(x.connected());
    Program program(dir, {editor, "-f", path}, true);
    Window window = x.waitForEditor();
    ASSERT_NE(window, 0u);
    x.requestClose(window);
    Outcome outcome = program.wait();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(readFile(path), original);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"rc", "stderr", "stdout"}));
}
