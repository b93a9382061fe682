#pragma once
// What the tests reach inside monitor/accounts; the monitor itself uses none
// of it.

#include <chrono>

#include "monitor/state/boxes.h"

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
