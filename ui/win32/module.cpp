// The control window inside mervane.dll: the operations behind ShowSetupWin, IsSetupWinOpened,
// IsSetupWinVisible, CloseSetupWin, the setup dialog of SM_Setup and message boxes, each run on
// the window's own thread.
#include <windows.h>

#include <commctrl.h>

#include <atomic>

#include "ui/form_pointer.h"
#include "ui/win32/controls.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/gui_thread.h"
#include "ui/win32/mervane_window.h"
#include "ui/window_api.h"

namespace mervane::ui::win32 {

namespace {

// How long a call from another thread waits for the window's thread to take it up: the thread may
// be blocked in a long library call (stopping a motor takes up to 10 s).
constexpr double kStartWait = 5.0;

std::atomic<const WindowApi*> g_api{nullptr};
// Read by any thread without waiting on the window's thread; written on it.
std::atomic<bool> g_opened{false};
std::atomic<HWND> g_handle{nullptr};
// One setup dialog at a time, whichever thread asks.
std::atomic<bool> g_setupBusy{false};
// The window's thread only.
MervaneWindow* g_window = nullptr;

bool Attach(const WindowApi* api, const char*) {
  if (api == nullptr || api->size != sizeof(WindowApi)) return false;
  g_api.store(api, std::memory_order_release);
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS | ICC_BAR_CLASSES |
                                                   ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&classes);
  return StartGuiThread();
}

void Show() {
  RunOnGuiThread(
      [] {
        if (g_window == nullptr) {
          auto* window = new MervaneWindow(*g_api.load(std::memory_order_acquire));
          if (!window->Created()) {  // no desktop to show it on
            delete window;
            return;
          }
          g_window = window;
          PublishForm(g_api.load()->dlgMervane, window->Handle());
          g_handle.store(window->Handle());
          g_opened.store(true);
        }
        g_window->ShowAgain();
      },
      kStartWait);
}

bool IsOpened() { return g_opened.load(); }

bool IsVisible() {
  HWND handle = g_handle.load();
  return g_opened.load() && handle != nullptr && IsWindowVisible(handle);
}

// Also the first step of Exit and of the library's unload: the open setup dialog is cancelled
// (its waiting caller gets false), open message boxes end, and the window goes.
void Close() {
  RunOnGuiThread(
      [] {
        EndModalBoxes();
        if (g_window != nullptr) g_window->Dispose();
        g_window = nullptr;
        if (const WindowApi* api = g_api.load()) PublishForm(api->dlgMervane, nullptr);
        g_handle.store(nullptr);
        g_opened.store(false);
      },
      kStartWait);
}

bool SetupDialog(std::uint32_t device, int channel, MotorInfo* record) {
  if (record == nullptr || g_setupBusy.exchange(true)) return false;
  bool ok = false;
  RunOnGuiThread(
      [&] {
        MotorSetupDialog dialog(*g_api.load(std::memory_order_acquire), device, channel, *record);
        // Owned by the control window while that exists.
        HWND owner = g_window != nullptr && !g_window->Disposed() ? g_window->Handle() : nullptr;
        ok = dialog.Run(owner);
        if (ok) *record = dialog.Model().Record();
      },
      kStartWait);
  g_setupBusy.store(false);
  return ok;
}

bool Message(const char* caption, const char* text, Icon icon) {
  if (caption == nullptr || text == nullptr) return false;
  return RunOnGuiThread([&] { ShowMessageBox(nullptr, text, caption, icon); }, kStartWait);
}

constexpr WindowModule kModule = {sizeof(WindowModule), sizeof(WindowApi), Attach, Show, IsOpened, IsVisible, Close,
                                  SetupDialog, Message};

}  // namespace

}  // namespace mervane::ui::win32

// Linked into the library itself (no module file to load on Windows).
extern "C" const mervane::ui::WindowModule* mervane_window_module() { return &mervane::ui::win32::kModule; }
