#pragma once
// IMAP boxes: a check of the box's folder over one connection of its own,
// the counts and the newest message stored in the box.

#include <cstdint>
#include <optional>

#include "monitor/headers/headerfields.h"
#include "monitor/state/boxes.h"

int imapCheck(Box& box, int64_t now);

// Who wrote the newest new message and about what, read only once a folder's
// new count has risen above the one its box shows (its first count is no
// news): true when `unseen` is such a rise.
bool imapCountRose(const Box& box, int32_t unseen);
// Keeps the box's newest message as the next counts leave it: replaced by
// the one read for a rise, forgotten once the new count falls (the message
// may have been read), kept otherwise. Called before the counts are stored.
void imapKeepNewest(Box& box, int32_t unseen, const std::optional<MessageSummary>& read);
