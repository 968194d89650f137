// The control window's thread on Windows: one thread of the library's own with its own message
// loop, so that the window works the same in a GUI host and in a console host. Calls from other
// threads are posted to it and waited for with a bounded start.
#pragma once

#include <functional>

namespace mervane::ui::win32 {

// Starts the thread once (later calls return at once). False when it cannot run.
bool StartGuiThread();
// Whether the calling thread is the window's thread.
bool OnGuiThread();
// Runs `work` on the window's thread and waits until it has finished: at once on that thread;
// from another thread it is posted, and dropped (false) when it has not begun within
// `startSeconds` or the thread has ended (process exit). Once begun the wait lasts as long as
// `work` does (a modal dialog waits for its user).
bool RunOnGuiThread(const std::function<void()>& work, double startSeconds);
// The thread's module instance (the DLL or program holding this code).
void* ModuleInstance();

}  // namespace mervane::ui::win32
