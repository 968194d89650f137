// Console services for the command-line tools: whether a stream is a terminal, Ctrl+C as a flag
// rather than a kill, and handing a job to a background process.
#pragma once

#include <string>

namespace mervane::platform {

// Whether standard output (or standard error) is an interactive terminal.
bool StdoutIsTerminal();
bool StderrIsTerminal();

// From now on SIGINT, SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (the reader of the
// output went away; the write then fails instead) only count: InterruptCount() tells how many
// arrived, InterruptSignal() which came last (0: none). The handler only touches lock-free
// atomics, so it is safe at any point of the program.
void CatchInterrupts();
int InterruptCount();
int InterruptSignal();

// Splits the program in two before it starts any thread. The foreground process waits until the
// background one calls ReleaseForeground(status) (or ends) and then exits with that status (1 when
// it ended without a word); only the background process returns, with true. False: nothing was
// split (the caller carries on in the foreground).
bool ContinueInBackground();
// In the background process: lets the foreground exit with `status` and detaches standard input,
// output and error (to /dev/null). Harmless when there is no foreground waiting.
void ReleaseForeground(int status);
// This process's id, for the user to find a background job.
int ProcessId();
// Whether process `pid` still exists; asks it to end (SIGTERM, which CatchInterrupts counts).
bool ProcessAlive(int pid);
bool AskToEnd(int pid);
// Removes a file; true when it is gone afterwards.
bool RemoveFile(const std::string& path);

}  // namespace mervane::platform
