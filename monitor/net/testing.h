#pragma once
// What the tests reach inside monitor/net; the monitor itself uses none of it.

#include <chrono>
#include <optional>
#include <string>

#include "monitor/state/boxes.h"

// The subject of the last certificate reported on standard output.
std::optional<std::string> lastCertSubject();
// Forgets the reported subject, the certificates already checked and the
// warnings already given, and reads the trust store again at the next check.
// The remembered servers stay: they are the file's.
void forgetCertificates();
// Forgets the warnings about remembered servers already given.
void forgetServerWarnings();

// Forgets every password kept from PasswordCommand, the warnings already
// printed and the pauses of each account.
void forgetCredentials();
// How many sign-ins of the box's account wait for a command's run now.
int credentialRunWaiters(const Box& box);
// Forgets why the accounts' checks failed and their pauses for too many
// connections.
void forgetAccounts();
// The time limit of a password or token command; 0 restores the 2 minutes.
void setCredentialCommandLimit(std::chrono::milliseconds limit);
// When a command is said to be still running; 0 restores the 10 seconds.
void setCredentialCommandWarning(std::chrono::milliseconds warning);
