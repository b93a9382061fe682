#pragma once
// A server cut off from the test by the network, inside the test's own
// network namespace (scripts/in-netns): a rule looked at before the local
// routes makes its address unreachable, so that a connect to it fails at
// once, as to a host whose network is down. Once the guard goes (or `mend`
// is called) the server is reached again, as it was.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

class CutOff {
public:
    explicit CutOff(std::string serverAddress) : address(std::move(serverAddress)) {
        // The local routes' rule comes first (preference 0); it moves behind
        // the cut, once for the namespace.
        EXPECT_EQ(std::system("ip rule show pref 10 | grep -q local || "
                              "{ ip rule add pref 10 table local && ip rule del pref 0; }"),
                  0);
        cut = std::system(("ip rule add pref 5 to " + address + " unreachable").c_str()) == 0;
        EXPECT_TRUE(cut) << "cannot cut " << address << " off";
    }
    ~CutOff() { mend(); }
    CutOff(const CutOff&) = delete;
    CutOff& operator=(const CutOff&) = delete;

    void mend() {
        if (!cut) return;
        EXPECT_EQ(std::system(("ip rule del pref 5 to " + address).c_str()), 0);
        cut = false;
    }

private:
    std::string address;
    bool cut = false;
};
