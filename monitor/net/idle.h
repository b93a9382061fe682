#pragma once
// IMAP IDLE (RFC 2177): one connection kept open on a box's folder, on which
// the server tells of mail as it lands. It only tells: the counts still come
// from the box's own check.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "monitor/core/boxes.h"
#include "monitor/net/imap.h"

// The connection of one box in IDLE.
struct ImapIdle {
    std::unique_ptr<ImapConn> conn;
    std::string idleTag;  // the tag of the IDLE command in force
    std::string line;     // a line that has not ended yet, its first 1023 bytes
};

enum class IdleStart {
    idling,      // signed in, the folder examined, IDLE going on
    notOffered,  // the server has no IDLE: the box is polled
    failed,      // no connection, no sign-in, the folder refused
};

// Connects, secures and signs in as the box's check does, then EXAMINE (so
// that nothing is marked read) and IDLE.
IdleStart imapIdleStart(ImapIdle& idle, const Box& box);

enum class IdleNews {
    mail,     // the folder changed: EXISTS, EXPUNGE, RECENT or FETCH
    timeUp,   // the deadline came first
    stopped,  // the stop descriptor became readable
    dropped,  // the server closed the connection, or spoke nonsense
};

// Waits for the server's news until the deadline or the stop descriptor.
// What arrives with the news is read too, so that one flood is one piece of news.
IdleNews imapIdleWait(ImapIdle& idle, int stopFd, std::chrono::steady_clock::time_point deadline);

// Ends IDLE and starts it again, as servers end an IDLE of 30 minutes: false
// when the connection was lost.
bool imapIdleRenew(ImapIdle& idle);

// DONE, LOGOUT and the connection closed. Safe on a connection that is gone.
void imapIdleEnd(ImapIdle& idle);

// True when an untagged line tells of a change of the folder.
bool imapIdleTellsOfMail(std::string_view line);
