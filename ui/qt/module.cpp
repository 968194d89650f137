// libmervane-window.so: the control window module that libmervane.so loads on first need. Its one
// entry hands out the operations behind ShowSetupWin, IsSetupWinOpened, IsSetupWinVisible,
// CloseSetupWin, the setup dialog of SM_Setup and message boxes; each runs on the GUI thread.
#include <QApplication>
#include <QPointer>

#include <atomic>

#include "ui/form_pointer.h"
#include "ui/qt/mervane_window.h"
#include "ui/qt/message.h"
#include "ui/qt/motor_setup_dialog.h"
#include "ui/qt/window_thread.h"
#include "ui/window_api.h"

namespace mervane::ui::qt {

namespace {

// How long a call from another thread waits for the GUI thread to take it up: a host whose own
// Qt loop is not running must not hang its caller.
constexpr double kStartWait = 5.0;

std::atomic<const WindowApi*> g_api{nullptr};
// Read by any thread without waiting on the GUI thread; written on it.
std::atomic<bool> g_opened{false};
std::atomic<bool> g_visible{false};
// One setup dialog at a time, whichever thread asks.
std::atomic<bool> g_setupBusy{false};
// GUI thread only.
QPointer<MervaneWindow> g_window;
QPointer<MotorSetupDialog> g_setup;

bool Attach(const WindowApi* api, const char* platform) {
  if (api == nullptr || api->size != sizeof(WindowApi)) return false;
  g_api.store(api, std::memory_order_release);
  return StartGuiThread(platform);
}

void Show() {
  RunOnGuiThread(
      [] {
        if (!g_window) {
          g_window = new MervaneWindow(*g_api.load(std::memory_order_acquire), [](bool shown) { g_visible.store(shown); });
          PublishForm(g_api.load()->dlgMervane, static_cast<QWidget*>(g_window.data()));
          g_opened.store(true);
        }
        g_window->ShowAgain();
      },
      kStartWait);
}

bool IsOpened() { return g_opened.load(); }

bool IsVisible() { return g_opened.load() && g_visible.load(); }

// Also the first step of Exit and of the library's unload: the setup dialog is cancelled (its
// waiting caller gets false) and the window goes.
void Close() {
  if (QCoreApplication::instance() == nullptr) return;  // the host's application is gone already
  RunOnGuiThread(
      [] {
        if (g_setup) g_setup->Cancel();
        if (g_window) g_window->Dispose();
        g_window = nullptr;
        if (const WindowApi* api = g_api.load()) PublishForm(api->dlgMervane, nullptr);
        g_opened.store(false);
        g_visible.store(false);
      },
      kStartWait);
}

bool SetupDialog(std::uint32_t device, int channel, MotorInfo* record) {
  if (record == nullptr || g_setupBusy.exchange(true)) return false;
  bool ok = false;
  RunOnGuiThread(
      [&] {
        MotorSetupDialog dialog(*g_api.load(std::memory_order_acquire), device, channel, *record);
        g_setup = &dialog;
        ok = dialog.exec() == QDialog::Accepted;
        g_setup = nullptr;
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

// At process exit our own GUI thread stops touching the toolkit before the toolkit's statics go.
struct ParkAtExit {
  ParkAtExit() = default;
  ParkAtExit(const ParkAtExit&) = delete;
  ParkAtExit& operator=(const ParkAtExit&) = delete;
  ~ParkAtExit() { ParkGuiThread(); }
} g_parkAtExit;

}  // namespace

}  // namespace mervane::ui::qt

extern "C" __attribute__((visibility("default"))) const mervane::ui::WindowModule* mervane_window_module() {
  return &mervane::ui::qt::kModule;
}
