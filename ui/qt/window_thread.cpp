// The control window's GUI thread: joining the host's Qt application or running one of our own,
// queued calls with bounded start, and parking at process exit.
#include "ui/qt/window_thread.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QMetaObject>
#include <QObject>
#include <QPixmap>
#include <QPixmapCache>
#include <QThread>

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ui/queued_call.h"

namespace mervane::ui::qt {

namespace {

// Guards `g_context`, `g_ownThread` and the start of the thread. Taken by the library's callers
// (any thread) for a moment; never held while waiting on the GUI thread.
std::mutex g_startMutex;
// A QObject living on the GUI thread: the target of queued calls. Null until started.
std::atomic<QObject*> g_context{nullptr};
std::atomic<bool> g_ownThread{false};
std::atomic<bool> g_parked{false};

// The command line our own QApplication sees; it must outlive the application.
int g_argc = 1;
char g_program[] = "mervane";
char g_platformOption[] = "-platform";
std::string g_platformName;
char* g_argv[] = {g_program, g_platformOption, nullptr, nullptr};

// Wayland needs its own platform plug-in, which the base toolkit package does not carry.
bool PlatformPluginExists(const std::string& platform) {
  if (platform.rfind("wayland", 0) != 0) return true;
  QDir plugins(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
  return !plugins.entryList({"libqwayland*"}).isEmpty();
}

// The body of our own GUI thread: the application is created here and never destroyed (the
// toolkit's platform plug-in crashes at exit when its thread has ended before).
void GuiThreadMain(std::promise<bool>* started) {
  // The toolkit switches the process to the user's locale; the library and its host read and
  // print numbers in the locale they chose, so it is put back.
  std::string locale = std::setlocale(LC_ALL, nullptr);
  auto* app = new QApplication(g_argc, g_argv);
  std::setlocale(LC_ALL, locale.c_str());
  QApplication::setQuitOnLastWindowClosed(false);
  // The toolkit's pixmap cache is made now (a look-up makes it), before our exit handlers are
  // registered, so that parking (which stops its timer on this thread) runs before its
  // destruction at exit.
  QPixmap none;
  QPixmapCache::find(QStringLiteral("mervane"), &none);
  g_context.store(new QObject, std::memory_order_release);
  started->set_value(true);
  for (;;) {
    app->exec();  // returns only if someone quits the application: run on
    if (g_parked.load()) break;
  }
}

// The toolkit creates its process-wide objects lazily (at the first window, the first paint, ...)
// and destroys them at exit in the reverse order of their creation. Parking must come before
// those that were created while our thread ran, so a handler is registered again after the
// window thread has done some work: exit runs the latest registration first. Growth is bounded.
void ParkAtExitLater() {
  static std::atomic<int> registered{0};
  if (registered.load() >= 8 || !g_ownThread) return;
  ++registered;
  std::atexit(ParkGuiThread);
}

}  // namespace

bool StartGuiThread(const char* platform) {
  std::lock_guard guard(g_startMutex);
  if (g_context.load(std::memory_order_acquire) != nullptr) return true;
  if (QCoreApplication* existing = QCoreApplication::instance()) {
    if (qobject_cast<QApplication*>(existing) == nullptr) return false;  // no widgets in this process
    auto* context = new QObject;
    context->moveToThread(existing->thread());
    g_context.store(context, std::memory_order_release);
    return true;
  }
  g_platformName = platform != nullptr ? platform : "";
  if (!PlatformPluginExists(g_platformName)) return false;
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  if ((chosen == nullptr || *chosen == '\0') && !g_platformName.empty()) {
    g_argc = 3;
    g_argv[2] = g_platformName.data();
  }
  std::promise<bool> started;
  std::future<bool> ready = started.get_future();
  std::thread(GuiThreadMain, &started).detach();
  g_ownThread = true;
  bool running = ready.get();
  ParkAtExitLater();
  return running;
}

bool OnGuiThread() {
  QObject* context = g_context.load(std::memory_order_acquire);
  return context != nullptr && QThread::currentThread() == context->thread();
}

bool RunOnGuiThread(const std::function<void()>& work, double startSeconds) {
  QObject* context = g_context.load(std::memory_order_acquire);
  if (context == nullptr || g_parked.load()) return false;
  if (QThread::currentThread() == context->thread()) {
    work();
    return true;
  }

  auto call = std::make_shared<QueuedCall>();
  // `work` refers to the caller's frame: it runs only while the caller still waits.
  QMetaObject::invokeMethod(
      context,
      [call, &work] {
        if (!call->Begin()) return;
        work();
        call->Finish();
      },
      Qt::QueuedConnection);
  if (!call->Wait(startSeconds)) return false;
  ParkAtExitLater();
  return true;
}

void ParkGuiThread() {
  QObject* context = g_context.load(std::memory_order_acquire);
  bool own = false;
  {
    std::lock_guard guard(g_startMutex);
    own = g_ownThread.load();
  }
  if (context == nullptr || !own || OnGuiThread() || g_parked.load()) return;
  // Never destroyed: the parked thread waits on it while the process's statics go.
  struct Park {
    std::mutex mutex;  // guards the wait; the exiting thread and the GUI thread
    std::condition_variable parked;
  };
  static Park* park = new Park;
  QMetaObject::invokeMethod(
      context,
      [] {
        // The toolkit's process-wide pixmap cache is a timer-driven object of this thread that the
        // exiting thread destroys: its timer is stopped here, on its own thread, so that its
        // destruction does not complain about a timer of another thread.
        QPixmapCache::clear();
        std::unique_lock lock(park->mutex);
        g_parked.store(true);
        park->parked.notify_all();
        park->parked.wait(lock, [] { return false; });  // for the rest of the process
      },
      Qt::QueuedConnection);
  std::unique_lock lock(park->mutex);
  park->parked.wait_for(lock, std::chrono::seconds(2), [] { return g_parked.load(); });
}

bool GuiThreadParked() { return g_parked.load(); }

}  // namespace mervane::ui::qt
