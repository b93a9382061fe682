#pragma once
// What the POP3 and IMAP checks do with a network Box around the clients'
// dialogue, and what is kept per account (user, server and port): the
// failure its checks wait out, and the pause a server that refuses more
// connections is given.

#include <cstdint>
#include <string>
#include <string_view>

#include "monitor/net/signin.h"
#include "monitor/state/boxes.h"

// user@server:port, an IPv6 address in brackets as in the box definition.
std::string accountName(const Box& box);

// The box's account as a network client takes it.
NetAccount netAccount(const Box& box);

// True once checkDelay seconds have passed since the box's last check. The
// checks then stamp the box at once, so that a failed attempt also waits
// checkDelay seconds before the next one.
bool accountCheckDue(const Box& box, int64_t now);

// Stores the counts of a successful dialogue; the result of the check, 1.
int storeAccountCounts(Box& box, int32_t fresh, int32_t total);

// A server refused a connection for their number: the account is not asked
// again for a minute, then twice as long each time up to half an hour.
// Said once, until a connection signs in again.
void noteConnectionLimit(const Box& box);
// True while that pause lasts.
bool accountPaused(const Box& box);
// A connection signed in and answered: the pause starts over.
void noteAccountAnswered(const Box& box);

// The outcome of a check of the box, or of its account connection's news of
// its folder: none when it was counted. The box takes it as its state, said
// on standard error when it changes (monitor/state/failure.h).
void noteCheckFailure(Box& box, NetFailure failure);
// A check that a pause of its account holds back (a refused password, a
// failed command, too many connections) has no outcome of its own: the box
// keeps its state. A box that works takes the failure its account waits
// out, so that counts that are not being fetched do not pass for current.
void noteCheckHeld(Box& box);
