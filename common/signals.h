#pragma once
// The monitor's signals, and those of a child about to run a user's command.

// No zombie of a child (SIGCHLD ignored with SA_NOCLDWAIT), and no signal
// from a server that has gone (SIGPIPE ignored): set before any thread
// exists, so that every thread inherits it.
void ignoreChildrenAndBrokenPipes();

// Gives the child SIGPIPE and SIGCHLD back at their default and blocks no
// signal: an ignored signal stays ignored across exec, and the monitor
// ignores both. Async-signal-safe, for the child of a threaded process.
void restoreSignalsForCommand();
