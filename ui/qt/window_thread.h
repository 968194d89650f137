// The thread that owns the control window's widgets: the host's Qt application thread when the
// process already has a QApplication, else one GUI thread of the module's own that lives for the
// whole process (parked at exit, reused after Exit). Calls from other threads are queued to it
// and waited for.
#pragma once

#include <functional>

class QObject;

namespace mervane::ui::qt {

// Starts or joins the GUI thread on the display platform `platform`. False when no widget can be
// made in this process (a non-widget Qt application object, or no platform plug-in for it).
bool StartGuiThread(const char* platform);
// Whether the calling thread is the GUI thread.
bool OnGuiThread();
// Runs `work` on the GUI thread and waits until it has finished. From the GUI thread it runs at
// once. From another thread it is queued; if it has not begun within `startSeconds` (the host's
// loop is not running, or the thread is parked) it is dropped and false is returned. Once begun,
// the wait lasts as long as `work` does (a modal dialog waits for its user).
bool RunOnGuiThread(const std::function<void()>& work, double startSeconds);
// Stops the GUI thread from touching the toolkit again: it blocks for the rest of the process.
// Called at process exit, so that the toolkit's own teardown never races with it.
void ParkGuiThread();
bool GuiThreadParked();

}  // namespace mervane::ui::qt
