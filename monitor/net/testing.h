#pragma once
// What the tests reach inside monitor/net; the monitor itself uses none of it.

#include <chrono>
#include <optional>
#include <string>

// The subject of the last certificate reported on standard output.
std::optional<std::string> lastCertSubject();
// Forgets the reported subject and the certificates already checked, and
// reads the trust store again at the next check.
void forgetCertificates();

// Forgets every password kept from PasswordCommand and the warnings already
// printed for each account.
void forgetCredentials();
// The time limit of a password or token command; 0 restores the 10 seconds.
void setCredentialCommandLimit(std::chrono::milliseconds limit);
