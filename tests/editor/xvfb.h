#pragma once
// A private Xvfb server on a free display, for the tests that need X.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace editortest {

class XvfbServer {
public:
    XvfbServer() = default;
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer() { stop(); }

    // Starts the server, waits until it accepts clients and sets DISPLAY.
    void start() {
        int ready[2];
        if (pipe(ready) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            std::string fd = std::to_string(ready[1]);
            // -displayfd picks the first free display and writes its number
            // once the server listens.
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        std::string number;
        char c;
        while (read(ready[0], &c, 1) == 1 && c != '\n') number += c;
        close(ready[0]);
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        display = ":" + number;
        setenv("DISPLAY", display.c_str(), 1);
    }

    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    const std::string& name() const { return display; }

private:
    pid_t pid = -1;
    std::string display;
};

}  // namespace editortest
