#pragma once
// A first run that watches the user's mail: with no box defined anywhere,
// the system mailbox.

#include <optional>
#include <string>

// The definition of the user's system mailbox: $MAIL, else the spool file
// /var/mail/USER, the first that exists; none when neither does or when its
// path cannot stand in a definition (a blank or a colon in it).
std::optional<std::string> systemMailboxDefinition();

// When no box was defined on the command line or in the rc file, puts the
// system mailbox in force and says so, or says that no box is defined and
// how to add one. Called once, at start-up, after the rc file was read.
void watchSystemMailboxWhenNoBox();
