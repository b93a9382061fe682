#pragma once
// What the monitor's libraries offer the tests alone: the program itself
// never calls these.

#include "monitor/accounts/accountstesting.h"
#include "monitor/cycle/accountconnections.h"
#include "monitor/state/options.h"

// Empties the box list in force (monitor/state/boxes.cpp).
void clearBoxList();

// Turns threads off and waits until the scheduler has left its loop, so
// that no scheduler outlives a test (monitor/cycle/cycle.cpp).
void stopScheduler();

// Ends the watcher of the stores and waits until it has (monitor/cycle/watch.cpp).
void stopWatching();

// Puts the pace of the account connections started from now on
// (monitor/cycle/accountconnections.cpp).
void setAccountTimings(AccountTimings pace);
// How many account connections' threads are alive, and how many of their
// connections have signed in and answered and are serving now.
int accountThreadsRunning();
int accountConnectionsServing();

// The settings at their defaults, no boxes, and nothing kept of the accounts
// and their credentials: where each test of the accounts starts and ends.
inline void forgetAllAccountState() {
    resetSettings();
    clearBoxList();
    forgetCredentials();
    forgetAccounts();
}
