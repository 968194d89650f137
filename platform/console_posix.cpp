// POSIX side of the console services: isatty, signal counting, fork with a status pipe.
#include "platform/console.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace mervane::platform {

namespace {
// Written by the signal handler, read by the program's threads: lock-free by construction.
std::atomic<int> g_interrupts{0};
std::atomic<int> g_lastSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Write end of the pipe the foreground process waits on; -1 when there is none.
int g_foregroundPipe = -1;

void CountInterrupt(int signal) {
  g_lastSignal.store(signal, std::memory_order_relaxed);
  g_interrupts.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void CatchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = CountInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
}

int InterruptCount() { return g_interrupts.load(std::memory_order_relaxed); }
int InterruptSignal() { return g_lastSignal.load(std::memory_order_relaxed); }

bool ContinueInBackground() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    setsid();  // Ctrl+C at the shell no longer reaches the background job
    g_foregroundPipe = fds[1];
    return true;
  }
  close(fds[1]);
  unsigned char status = 1;
  ssize_t n;
  do {
    n = read(fds[0], &status, 1);
  } while (n < 0 && errno == EINTR);
  _exit(n == 1 ? status : 1);
}

void ReleaseForeground(int status) {
  if (g_foregroundPipe < 0) return;
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  unsigned char byte = static_cast<unsigned char>(status);
  ssize_t n;
  do {
    n = write(g_foregroundPipe, &byte, 1);
  } while (n < 0 && errno == EINTR);
  close(g_foregroundPipe);
  g_foregroundPipe = -1;
}

int ProcessId() { return static_cast<int>(getpid()); }

bool ProcessAlive(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

bool AskToEnd(int pid) { return pid > 0 && kill(pid, SIGTERM) == 0; }

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace mervane::platform
