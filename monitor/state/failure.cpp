#include "monitor/state/failure.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

constexpr std::array<const char*, 12> reasons = {
    "",
    "the server cannot be reached",
    "TLS failed",
    "the server's identity was refused",
    "the sign-in was refused",
    "the credential command failed",
    "the server refuses more connections",
    "the server's answer was not understood",
    "the folder does not exist",
    "the mailbox does not exist",
    "the mailbox cannot be read",
    "no MH profile names the mail store",
};
static_assert(reasons.size() == static_cast<std::size_t>(BoxFailure::noMhProfile) + 1);

std::atomic<uint64_t> changes{0};
std::mutex tellLock;
std::atomic<void (*)()> listenerInUse{nullptr};

}  // namespace

const char* failureReason(BoxFailure failure) {
    auto index = static_cast<std::size_t>(failure);
    return index < reasons.size() ? reasons[index] : "";
}

void recordCheckOutcome(Box& box, BoxFailure outcome) {
    // Only the box's own check writes its state, one check at a time: an
    // outcome like the last costs one load.
    if (box.failure.load() == outcome) return;
    // Held until the line is written, so that lines come in the order of
    // the changes. The line itself waits until boxListLock, which the
    // display's cycle needs, is let go: standard error may be slow.
    std::lock_guard telling(tellLock);
    {
        // Under the lock of the list's swap, a reload takes the state over
        // into the box that replaces this one either after this change, or
        // before it; then this box is out of force and its successor's next
        // check says it.
        std::lock_guard guard(boxListLock);
        box.failure = outcome;
        ++changes;
        bool inForce = std::any_of(boxList->begin(), boxList->end(),
                                   [&](const auto& listed) { return listed.get() == &box; });
        if (!inForce) return;
    }
    if (auto listener = listenerInUse.load()) listener();
    if (outcome == BoxFailure::none)
        std::fprintf(stderr, "quorvik warning : box \"%s\" works again\n", box.label.c_str());
    else
        std::fprintf(stderr, "quorvik warning : box \"%s\" fails: %s\n", box.label.c_str(),
                     failureReason(outcome));
}

uint64_t failureChanges() { return changes.load(); }

void setFailureListener(void (*listener)()) { listenerInUse = listener; }
