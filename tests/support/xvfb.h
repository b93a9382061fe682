#pragma once
// A private X server for the tests that need one: Xvfb on the first free
// display, ended when the object goes.

#include <sys/types.h>

#include <string>

struct XvfbScreen {
    int width = 640;
    int height = 480;
    int depth = 24;
};

class Xvfb {
public:
    // Returns once the server accepts clients; throws, with what Xvfb said,
    // when it ended instead.
    explicit Xvfb(XvfbScreen screen = {});
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // The display's name, such as ":1".
    const std::string& name() const { return display; }

private:
    pid_t pid = -1;
    std::string display;
};
