/* A Windows host written in C from include/ alone, as an outside program would be: it loads
 * mervane.dll by path, shows the control window, finds it and its controls by their classes and
 * captions, reads the motor list, opens "Motor Setup" through SM_Setup without a record from a
 * second thread and cancels it, moves the selected row's motor with "Move abs", and closes the
 * window. Boxes come from the emulator (BOXSIM_BOXES). */
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mervane.h"

#define SERIAL_A "WHOST001"
#define SERIAL_B "WHOST002"

#include "tests/c_host/checks.h"

#define WINDOW_EXPORTS(X)                                                                          \
  X(InitPlugin) X(GetDevicesCount) X(GetDeviceIndex) X(SM_GetCount) X(SM_Setup) X(SM_GetTarget)   \
  X(ShowSetupWin) X(IsSetupWinOpened) X(IsSetupWinVisible) X(CloseSetupWin) X(Exit)

#define DECLARE(name) __typeof__(&name) name;
static struct { WINDOW_EXPORTS(DECLARE) } api;

static void Resolve(HMODULE library, const char* symbol, void* target) {
  char exported[64];
  snprintf(exported, sizeof exported, "_%s", symbol);
  FARPROC address = GetProcAddress(library, exported);
  if (address == NULL) {
    fprintf(stderr, "missing symbol %s\n", exported);
    exit(1);
  }
  memcpy(target, &address, sizeof address);
}

static MotorInfo Motor(const char* name, uint8_t address) {
  MotorInfo info;
  memset(&info, 0, sizeof info);
  info.address = address;
  info.type = 0x85; /* a four-wire type */
  info.length = 10000;
  info.coefficient = 100.0f;
  info.acceleration = 5;
  info.minStepTime = 1;
  info.maxStepTime = 5;
  strncpy(info.name, name, sizeof info.name - 1);
  return info;
}

static int RowCount(HWND list) { return (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0); }

static void CellText(HWND list, int row, int column, char* text, int size) {
  LVITEMA item;
  memset(&item, 0, sizeof item);
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = size;
  text[0] = '\0';
  SendMessageA(list, LVM_GETITEMTEXTA, (WPARAM)row, (LPARAM)&item);
}

/* Polls up to `ms` for the list to hold `rows` rows (the window refreshes every 500 ms). */
static int WaitRows(HWND list, int rows, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (RowCount(list) == rows) return 1;
    Sleep(20);
  }
  return 0;
}

static int setupResult = 0;
static DWORD WINAPI SetupFromAnotherThread(void* unused) {
  (void)unused;
  setupResult = api.SM_Setup(0, -1, NULL);
  return 0;
}

/* A visible top-level window of this process (other programs on the desktop, test programs run
 * alongside among them, may show windows with the same captions). */
struct Search {
  const char* type; /* NULL: any class */
  const char* caption;
  HWND found;
  int count;
};
static BOOL CALLBACK MatchOwn(HWND window, LPARAM data) {
  struct Search* s = (struct Search*)data;
  DWORD process = 0;
  char text[128];
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  if (s->type != NULL && (!GetClassNameA(window, text, sizeof text) || strcmp(text, s->type) != 0)) return TRUE;
  GetWindowTextA(window, text, sizeof text);
  if (strcmp(text, s->caption) != 0) return TRUE;
  if (s->found == NULL) s->found = window;
  ++s->count;
  return TRUE;
}
static HWND OwnTopLevel(const char* type, const char* caption, int* count) {
  struct Search search = {type, caption, NULL, 0};
  EnumWindows(MatchOwn, (LPARAM)&search);
  if (count != NULL) *count = search.count;
  return search.found;
}
static HWND WaitTopLevel(const char* type, const char* caption, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    HWND found = OwnTopLevel(type, caption, NULL);
    if (found != NULL) return found;
    Sleep(20);
  }
  return NULL;
}

/* Whether this desktop can measure text; Wine 8's 32-bit mode cannot, and there the system's own
 * edit controls fault, so no window with one can be shown. */
static int TextMetricsWork(void) {
  HDC screen = GetDC(NULL);
  TEXTMETRICW metrics;
  int measured = screen != NULL && GetTextMetricsW(screen, &metrics);
  if (screen != NULL) ReleaseDC(NULL, screen);
  return measured;
}

/* Each run starts from an empty settings folder (MERVANE_CONFIG_DIR), also when CTest runs it a
 * second time after a failure. */
static void EmptySettingsFolder(void) {
  const char* folder = getenv("MERVANE_CONFIG_DIR");
  char pattern[MAX_PATH];
  char path[MAX_PATH];
  WIN32_FIND_DATAA entry;
  if (folder == NULL || snprintf(pattern, sizeof pattern, "%s*", folder) >= (int)sizeof pattern) return;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        snprintf(path, sizeof path, "%s%s", folder, entry.cFileName) < (int)sizeof path)
      DeleteFileA(path);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
}

int main(void) {
  if (!TextMetricsWork()) {
    printf("SKIPPED: this desktop cannot measure text (GetTextMetrics fails, as in Wine 8's 32-bit mode)\n");
    return 77;
  }
  EmptySettingsFolder();
  HMODULE library = LoadLibraryA(MERVANE_LIBRARY_PATH);
  REQUIRE(library != NULL);
#define RESOLVE(name) Resolve(library, #name, &api.name);
  WINDOW_EXPORTS(RESOLVE)

  REQUIRE(api.InitPlugin() == 2);
  int a = api.GetDeviceIndex(SERIAL_A);
  int b = api.GetDeviceIndex(SERIAL_B);
  REQUIRE(a >= 0 && b >= 0);
  MotorInfo x1 = Motor("X", 1), y = Motor("Y", 2), x2 = Motor("X", 1);
  REQUIRE(api.SM_Setup((uint32_t)a, -1, &x1) == 0);
  REQUIRE(api.SM_Setup((uint32_t)a, -1, &y) == 1);
  REQUIRE(api.SM_Setup((uint32_t)b, -1, &x2) == 0);

  CHECK(!api.IsSetupWinVisible());
  api.ShowSetupWin();
  api.ShowSetupWin(); /* the same window again */
  CHECK(api.IsSetupWinOpened());
  CHECK(api.IsSetupWinVisible());
  int windows = 0;
  HWND window = OwnTopLevel(NULL, "VORK - KADO", &windows);
  REQUIRE(window != NULL);
  CHECK(windows == 1); /* one window */
  HWND list = FindWindowExA(window, NULL, "SysListView32", NULL);
  REQUIRE(list != NULL);
  HWND header = (HWND)SendMessageA(list, LVM_GETHEADER, 0, 0);
  CHECK(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0) == 14);
  REQUIRE(WaitRows(list, 3, 5000));
  char text[64];
  CellText(list, 0, 0, text, sizeof text);
  CHECK(strcmp(text, "X") == 0);
  CellText(list, 1, 0, text, sizeof text);
  CHECK(strcmp(text, "Y") == 0);
  CellText(list, 2, 0, text, sizeof text);
  CHECK(strcmp(text, "X") == 0);
  CellText(list, 2, 3, text, sizeof text); /* "Type" */
  CHECK(strcmp(text, "X (4wires)") == 0);

  /* SM_Setup without a record from another thread: the modal "Motor Setup" dialog, owned by the
   * control window, blocks that thread until Cancel; nothing is added. */
  HANDLE thread = CreateThread(NULL, 0, SetupFromAnotherThread, NULL, 0, NULL);
  REQUIRE(thread != NULL);
  HWND setup = WaitTopLevel("#32770", "Motor Setup", 5000);
  REQUIRE(setup != NULL);
  CHECK(GetWindow(setup, GW_OWNER) == window);
  CHECK(WaitForSingleObject(thread, 200) == WAIT_TIMEOUT); /* still waiting for the user */
  HWND cancel = FindWindowExA(setup, NULL, "Button", "Cancel");
  REQUIRE(cancel != NULL);
  PostMessageA(cancel, BM_CLICK, 0, 0);
  CHECK(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
  CloseHandle(thread);
  CHECK(setupResult == -1);
  CHECK(api.SM_GetCount((uint32_t)a) == 2);

  /* "Move abs" on the selected row of the second box's X moves that motor, not the first box's. */
  LVITEMA select;
  memset(&select, 0, sizeof select);
  select.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  select.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageA(list, LVM_SETITEMSTATE, 2, (LPARAM)&select);
  HWND destination = FindWindowExA(window, NULL, "Edit", NULL);
  HWND moveAbs = FindWindowExA(window, NULL, "Button", "Move abs");
  REQUIRE(destination != NULL && moveAbs != NULL);
  SendMessageA(destination, WM_SETTEXT, 0, (LPARAM) "2.5");
  DWORD_PTR ignored = 0;
  CHECK(SendMessageTimeoutA(moveAbs, BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored) != 0);
  CHECK(api.SM_GetTarget((uint32_t)b, 0) == 2.5);
  CHECK(api.SM_GetTarget((uint32_t)a, 0) == 0.0);

  api.CloseSetupWin();
  CHECK(!IsWindow(window));
  CHECK(!api.IsSetupWinOpened());
  CHECK(!api.IsSetupWinVisible());
  api.Exit();
  api.Exit();
  if (failures == 0) printf("window host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
