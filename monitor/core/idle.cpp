#include "monitor/core/idle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/fd.h"
#include "monitor/core/cycle.h"
#include "monitor/core/wake.h"
#include "monitor/core/watch.h"
#include "monitor/net/idle.h"

namespace {

using Clock = std::chrono::steady_clock;

// One box's session: its thread ends once `stop` is set, woken through the pipe.
struct Session {
    std::shared_ptr<Box> box;
    std::atomic<bool> stop{false};
    FileDescriptor wakeRead;
    FileDescriptor wakeWrite;
};

std::mutex sessionsLock;  // guards sessions and timings
std::map<const Box*, std::shared_ptr<Session>> sessions;
IdleTimings timings;
std::atomic<int> idling{0};  // sessions in IDLE now

void endSession(Session& session) {
    session.stop = true;
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(session.wakeWrite.get(), &byte, 1);
}

// Sleeps for the pause unless the session is ended first: false then.
bool pause(Session& session, std::chrono::milliseconds length) {
    pollfd entry{session.wakeRead.get(), POLLIN, 0};
    auto end = Clock::now() + length;
    for (;;) {
        if (session.stop) return false;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return true;
        poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    }
}

// The box's own check, as the watcher makes it for a store that changed.
void checkNow(Session& session) {
    Box& box = *session.box;
    for (int tries = 0; tries < 50 && !session.stop; ++tries) {
        box.pushed = 1;
        if (runBoxCheck(box) == 1) wakeDisplay();
        if (box.pushed.load() == 0) return;
        // A worker has it: once it is done, the mark makes the next check count.
        if (!pause(session, watchQuiet)) return;
    }
}

// Reads the news that follows the first piece until the server has been
// quiet for a moment (at most watchLongest in all): one delivery, or a
// flood, is one check. False when the connection went or the session ends.
bool takeTheRest(Session& session, ImapIdle& idle) {
    auto first = Clock::now();
    for (;;) {
        auto deadline = std::min(Clock::now() + watchQuiet, first + watchLongest);
        switch (imapIdleWait(idle, session.wakeRead.get(), deadline)) {
        case IdleNews::mail:
            continue;
        case IdleNews::timeUp:
            return true;
        case IdleNews::stopped:
        case IdleNews::dropped:
            return false;
        }
    }
}

// The life of one session: connect, IDLE, check on news, renew, and after a
// drop try again later and later.
void sessionThread(std::shared_ptr<Session> session) {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    IdleTimings pace = idleTimings();
    auto retry = pace.firstRetry;
    while (!session->stop) {
        ImapIdle idle;
        IdleStart started = imapIdleStart(idle, *session->box);
        if (started == IdleStart::notOffered) break;
        if (started == IdleStart::idling) {
            auto up = Clock::now();
            auto renewAt = up + pace.renewal;
            bool going = true;
            ++idling;
            // What landed before IDLE began, while the connection was being
            // made or was down, is told by no one: the check finds it.
            checkNow(*session);
            while (going && !session->stop) {
                switch (imapIdleWait(idle, session->wakeRead.get(), renewAt)) {
                case IdleNews::mail:
                    going = takeTheRest(*session, idle);
                    if (!session->stop) checkNow(*session);
                    break;
                case IdleNews::timeUp:
                    going = imapIdleRenew(idle);
                    renewAt = Clock::now() + pace.renewal;
                    break;
                case IdleNews::stopped:
                case IdleNews::dropped:
                    going = false;
                    break;
                }
            }
            --idling;
            imapIdleEnd(idle);
            // Only a connection that held for a while earns a quick retry.
            if (Clock::now() - up >= pace.longestRetry) retry = pace.firstRetry;
        }
        if (session->stop || !pause(*session, retry)) break;
        retry = std::min(retry * 2, pace.longestRetry);
    }
    // The record stays while its box is in force: a server without IDLE is
    // not asked again until a reload makes a new box.
}

std::shared_ptr<Session> startSession(const std::shared_ptr<Box>& box) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
    auto session = std::make_shared<Session>();
    session->box = box;
    session->wakeRead.reset(ends[0]);
    session->wakeWrite.reset(ends[1]);
    try {
        std::thread(sessionThread, session).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    return session;
}

}  // namespace

void followIdleBoxes(const BoxList& list) {
    std::lock_guard guard(sessionsLock);
    for (auto it = sessions.begin(); it != sessions.end();) {
        bool kept = std::any_of(list.begin(), list.end(),
                                [&](const auto& box) { return box.get() == it->first; });
        if (kept) {
            ++it;
            continue;
        }
        endSession(*it->second);
        it = sessions.erase(it);
    }
    for (const auto& box : list) {
        if (box->type != BOX_IMAP || sessions.count(box.get()) != 0) continue;
        if (auto session = startSession(box)) sessions[box.get()] = std::move(session);
    }
}

void endIdleSessions() {
    std::lock_guard guard(sessionsLock);
    for (auto& [box, session] : sessions) endSession(*session);
    sessions.clear();
}

IdleTimings idleTimings() {
    std::lock_guard guard(sessionsLock);
    return timings;
}

// For the tests (tests/support/monitor_testing.h).
int idleSessionsIdling() { return idling.load(); }

// For the tests (tests/support/monitor_testing.h).
void setIdleTimings(IdleTimings pace) {
    std::lock_guard guard(sessionsLock);
    timings = pace;
}
