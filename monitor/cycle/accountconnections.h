#pragma once
// Push for IMAP boxes: with worker threads and Push on, the boxes of one
// account (server, port, user and password) share one connection, kept
// open by a thread of its own (monitor/net/accountconnection.h), which
// counts them from what the server tells. The scheduler starts no check of
// their own for these boxes: at each pass it wakes the thread instead, which
// asks what the server does not tell by itself. While the connection is
// down, the thread counts the folders at each pass over a fresh connection,
// and keeps it once it has answered; a dropped connection is opened again
// after a pause that doubles each time and starts over once a connection has
// signed in and answered. An account never has more than one connection.

#include <chrono>

#include "monitor/state/boxes.h"

// Starts a thread for each account of the list that has none, hands every
// thread the boxes of its account in the list, and ends the threads of
// accounts no longer in it (DONE, LOGOUT). Without threads or Push it ends
// them all. Called by the scheduler at each pass.
void followAccounts(const BoxList& list);

// True when an account connection counts the box.
bool accountConnectionCounts(const Box& box);

// The scheduler's pass: each account connection asks what needs asking.
void accountConnectionsPass();

// Ends every account connection.
void endAccountConnections();

// IDLE is started again this often (servers may end it after 30 minutes); a
// dropped connection is opened again after the first pause, doubled each
// time up to the longest; news of a change is taken for `quiet` more before
// the folders are asked (a delivery is several lines), at most a second. The
// answers about the newest message of a folder whose new count rose are
// awaited `newestWait` in silence (three times as long in all): a server
// that keeps them back has the counts stored without it, and is left.
struct AccountTimings {
    std::chrono::milliseconds renewal{std::chrono::minutes(25)};
    std::chrono::milliseconds firstRetry{std::chrono::seconds(5)};
    std::chrono::milliseconds longestRetry{std::chrono::minutes(5)};
    std::chrono::milliseconds quiet{100};
    std::chrono::milliseconds newestWait{std::chrono::seconds(5)};
};
AccountTimings accountTimings();
