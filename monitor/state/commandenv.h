#pragma once
// What the monitor tells the commands it starts, in QUORVIK_* variables of
// their environment: never in their command lines, where a text from a mail
// could run as code, and never a secret.

#include <string>
#include <vector>

#include "monitor/state/boxes.h"

// The box's type, and its server and port or its path, user and folder:
// QUORVIK_TYPE, QUORVIK_SERVER and QUORVIK_PORT (network boxes),
// QUORVIK_PATH (local boxes), QUORVIK_USER and QUORVIK_FOLDER (empty when
// none).
std::vector<std::string> boxVariables(const Box& box);

// An environment built before a fork, where the child may not allocate:
// the process's own, without the QUORVIK_* variables it may have inherited,
// and then the given ones ("NAME=value" each).
struct CommandEnvironment {
    std::vector<std::string> entries;
    std::vector<char*> pointers;  // into entries, ending with a null

    char* const* data() const { return pointers.data(); }
};

CommandEnvironment commandEnvironment(std::vector<std::string> variables);
