// mervane-panel.exe: a small Windows host of mervane.dll that starts the library (InitPlugin) and
// shows its control window until the user closes it. --demo first sets up motors of several kinds
// on the box emulator and starts some of them; --screenshot FILE.bmp saves the window as a bitmap
// after its first refresh and exits; --seconds N closes it after N seconds.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mervane.h"
#include "tools/panel_demo.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: mervane-panel [--demo] [--screenshot FILE.bmp] [--seconds N]\n");
  return 2;
}

// The whole window, frame included, as the screen shows it, in a 24-bit bitmap file.
bool SaveWindow(HWND window, const std::string& file) {
  RECT frame{};
  if (!GetWindowRect(window, &frame)) return false;
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up rows, as the file stores them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP image = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = image != nullptr;
  if (ok) {
    HGDIOBJ old = SelectObject(memory, image);
    ok = BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY) != 0;
    GdiFlush();
    SelectObject(memory, old);
  }
  if (ok) {
    DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    DWORD size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + size;
    info.bmiHeader.biSizeImage = size;
    FILE* out = std::fopen(file.c_str(), "wb");
    ok = out != nullptr && std::fwrite(&header, sizeof header, 1, out) == 1 &&
         std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 && std::fwrite(bits, size, 1, out) == 1;
    if (out != nullptr) ok = std::fclose(out) == 0 && ok;
  }
  if (image != nullptr) DeleteObject(image);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool demo = false;
  std::string screenshot;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo") == 0)
      demo = true;
    else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc)
      screenshot = argv[++i];
    else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
      seconds = std::atof(argv[++i]);
    else
      return Usage();
  }
  if (demo) mervane::tools::PrepareDemo(MERVANE_BOXSIM_PATH);
  if (InitPlugin() < 1) std::fprintf(stderr, "mervane-panel: no boxes found\n");
  if (demo && !mervane::tools::SetUpDemo()) return 1;
  ShowSetupWin();
  if (!IsSetupWinOpened()) {
    std::fprintf(stderr, "mervane-panel: the control window could not be opened\n");
    Exit();
    return 1;
  }
  int status = 0;
  auto window = static_cast<HWND>(DlgMervane);
  if (!screenshot.empty()) {
    // After the first refresh (500 ms) pick a row as a user would, then take the picture.
    Sleep(800);
    HWND list = FindWindowExA(window, nullptr, WC_LISTVIEWA, nullptr);
    LVITEMA item{};
    item.stateMask = item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
    Sleep(700);
    if (!SaveWindow(window, screenshot)) {
      std::fprintf(stderr, "mervane-panel: cannot write %s\n", screenshot.c_str());
      status = 1;
    }
  } else {
    // Until the user closes the window (which hides it), or the time is up.
    for (DWORD start = GetTickCount(); IsSetupWinVisible();) {
      if (seconds > 0 && GetTickCount() - start > seconds * 1000) break;
      Sleep(200);
    }
  }
  Exit();
  return status;
}
