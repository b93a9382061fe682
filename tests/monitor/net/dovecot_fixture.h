#pragma once
// The private dovecot of dovecot-fixture.sh, started by the first test of a
// test executable that asks for it and stopped when the executable ends.

#include <string>

// The fixture's directory (it holds tls.crt); starts the servers if needed.
// Fails the calling test when they cannot be started.
const std::string& dovecotDirectory();
