#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

// What Xvfb wrote on its standard error, kept in memory: read only when it
// failed, so a talkative server never fills a pipe and stalls.
std::string textOf(int fd) {
    std::string text;
    char block[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}

// Held while a server starts. Servers in network namespaces of their own
// all take display 0, and so all compile their keymap into the same file:
// two starting at once may read each other's half-written keymap and fail.
class StartLock {
public:
    StartLock() : fd(open("/tmp/quorvik-xvfb-start.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~StartLock() {
        if (fd >= 0) close(fd);
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;

private:
    int fd;
};

}  // namespace

Xvfb::Xvfb(XvfbScreen screen) {
    // Until the server gives its number: it has set up its keyboard by then.
    StartLock starting;
    int number[2];
    if (pipe2(number, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int errors = memfd_create("xvfb-errors", MFD_CLOEXEC);
    if (errors < 0) throw std::runtime_error("memfd_create failed");
    const std::string size = std::to_string(screen.width) + "x" + std::to_string(screen.height) +
                             "x" + std::to_string(screen.depth);
    const std::string numberFd = std::to_string(number[1]);
    pid = fork();
    if (pid == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(errors, STDERR_FILENO);
        fcntl(number[1], F_SETFD, 0);
        // -displayfd: the server picks the first free display and writes its
        // number there once it listens.
        execlp("Xvfb", "Xvfb", "-displayfd", numberFd.c_str(), "-screen", "0", size.c_str(),
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(number[1]);
    // The number comes, or the end of the pipe when the server ended.
    std::string digits;
    for (char c = 0; c != '\n';) {
        ssize_t got = read(number[0], &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1) break;
        if (c != '\n') digits += c;
    }
    close(number[0]);
    if (digits.empty()) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
        std::string said = textOf(errors);
        close(errors);
        throw std::runtime_error("Xvfb did not start: " + said);
    }
    close(errors);
    display = ":" + digits;
}

Xvfb::~Xvfb() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}
