#pragma once
// Signals in a child about to run a user's command.

// Gives the child SIGPIPE and SIGCHLD back at their default and blocks no
// signal: an ignored signal stays ignored across exec, and the monitor
// ignores both. Async-signal-safe, for the child of a threaded process.
void restoreSignalsForCommand();
