#pragma once
// The monitor ignores SIGPIPE before any thread starts, so that a write to a
// server that has gone only fails; a test program that checks boxes over TLS
// must do the same. Including this header is enough.

#include <gtest/gtest.h>
#include <signal.h>

class IgnoreSigpipe : public testing::Environment {
public:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
};

inline testing::Environment* const ignoreSigpipe =
    testing::AddGlobalTestEnvironment(new IgnoreSigpipe);
