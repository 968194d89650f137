// The control window's own thread: a message-only window receives the posted calls, so that they
// run also inside the nested loops of modal dialogs and message boxes.
#include "ui/win32/gui_thread.h"

#include <windows.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>

#include "ui/queued_call.h"

namespace mervane::ui::win32 {

namespace {

constexpr UINT kRunMessage = WM_APP + 0x40;
constexpr const char* kCallClass = "MervaneWindowThread";

// Guards the start of the thread; taken by the callers of the window exports for a moment, never
// while waiting for the window's thread.
std::mutex g_startMutex;
std::atomic<HWND> g_callWindow{nullptr};
std::atomic<DWORD> g_threadId{0};
HANDLE g_thread = nullptr;  // written once under g_startMutex, before g_callWindow is published

// One posted call: the work and the caller's wait state, shared until both sides are done.
struct Posted {
  std::shared_ptr<QueuedCall> call;
  const std::function<void()>* work;
};

HINSTANCE OwnInstance() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnInstance), &module);
  return module;
}

LRESULT CALLBACK CallWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunMessage) {
    std::unique_ptr<Posted> posted(reinterpret_cast<Posted*>(lParam));
    // `work` lives in the caller's frame: it runs only while the caller still waits.
    if (posted->call->Begin()) {
      (*posted->work)();
      posted->call->Finish();
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI ThreadMain(void* parameter) {
  auto* started = static_cast<std::promise<HWND>*>(parameter);
  WNDCLASSEXA type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = CallWindowProc;
  type.hInstance = OwnInstance();
  type.lpszClassName = kCallClass;
  RegisterClassExA(&type);
  HWND window = CreateWindowExA(0, kCallClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, type.hInstance, nullptr);
  started->set_value(window);
  if (window == nullptr) return 1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

bool ThreadEnded() {
  DWORD code = 0;
  return g_thread == nullptr || !GetExitCodeThread(g_thread, &code) || code != STILL_ACTIVE;
}

}  // namespace

bool StartGuiThread() {
  std::lock_guard guard(g_startMutex);
  if (g_callWindow.load() != nullptr) return true;
  // The thread runs code of this module for the rest of the process: the module stays loaded.
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&StartGuiThread), &pinned);
  std::promise<HWND> started;
  std::future<HWND> ready = started.get_future();
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, ThreadMain, &started, 0, &id);
  if (thread == nullptr) return false;
  HWND window = ready.get();
  if (window == nullptr) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return false;
  }
  g_thread = thread;
  g_threadId.store(id);
  g_callWindow.store(window);
  return true;
}

bool OnGuiThread() { return g_threadId.load() != 0 && GetCurrentThreadId() == g_threadId.load(); }

bool RunOnGuiThread(const std::function<void()>& work, double startSeconds) {
  HWND window = g_callWindow.load();
  if (window == nullptr) return false;
  if (OnGuiThread()) {
    work();
    return true;
  }
  // At process exit the thread is gone already: nothing would ever take the call up.
  if (ThreadEnded()) return false;
  auto call = std::make_shared<QueuedCall>();
  auto posted = std::make_unique<Posted>(Posted{call, &work});
  if (!PostMessageA(window, kRunMessage, 0, reinterpret_cast<LPARAM>(posted.get()))) return false;
  posted.release();  // the window's thread owns it now
  // Waits in slices, so that a thread that ends meanwhile does not keep the caller waiting.
  bool started = false;
  for (double waited = 0; !started && waited < startSeconds && !ThreadEnded(); waited += 0.25)
    started = call->WaitStart(0.25);
  if (!started && call->Drop()) return false;
  call->WaitDone();
  return true;
}

void* ModuleInstance() { return OwnInstance(); }

}  // namespace mervane::ui::win32
