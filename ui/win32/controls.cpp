// Shared pieces of the Windows control window: fonts, child controls, message boxes, the lamp
// images, the menu shortcuts and the empty dialog template.
#include "ui/win32/controls.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "ui/win32/gui_thread.h"

namespace mervane::ui::win32 {

namespace {

struct Shortcut {
  int command;
  unsigned key;
  bool control, alt, shift;
  const char* text;
};
constexpr Shortcut kShortcuts[] = {
    {kPmSetup, 'S', true, false, false, "Ctrl+S"},      {kPmInitialize, 'I', true, false, false, "Ctrl+I"},
    {kPmZero, 'Z', true, false, false, "Ctrl+Z"},       {kPmReset, 'R', true, false, false, "Ctrl+R"},
    {kPmRelease, 'R', true, true, false, "Ctrl+Alt+R"}, {kPmRemove, VK_DELETE, false, false, true, "Shift+Del"},
};
struct MenuText {
  int command;
  const char* caption;
};
constexpr MenuText kMenuTexts[] = {{kPmRelAll, "Release all"}, {kPmSetup, "Setup"},     {kPmInitialize, "Initialize"},
                                   {kPmZero, "Set zero"},       {kPmReset, "Reset"},     {kPmRelease, "Release"},
                                   {kPmRemove, "Remove"}};

HFONT MakeFont(int weight) {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return CreateFontA(-MulDiv(8, dpi > 0 ? dpi : 96, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                     "MS Sans Serif");
}

// One lamp: a shaded disc of `rgb` on a transparent square; edge pixels are blended with white.
void PaintLamp(std::uint32_t* pixels, std::array<BYTE, 32>& mask, COLORREF rgb) {
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      double dx = x + 0.5 - 8.0;
      double dy = y + 0.5 - 8.0;
      double cover = std::clamp(6.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0);
      // Lighter towards the upper left, as lit from there.
      double light = std::clamp(1.45 - std::sqrt((dx + 2) * (dx + 2) + (dy + 2) * (dy + 2)) / 8.0, 0.6, 1.45);
      auto channel = [&](int value) {
        double lit = std::min(255.0, value * light);
        return static_cast<std::uint32_t>(lit * cover + 255.0 * (1.0 - cover));
      };
      bool transparent = cover <= 0.0;
      pixels[y * 16 + x] =
          transparent ? 0 : (channel(GetRValue(rgb)) << 16) | (channel(GetGValue(rgb)) << 8) | channel(GetBValue(rgb));
      if (transparent) mask[static_cast<std::size_t>(y * 2 + x / 8)] |= static_cast<BYTE>(0x80 >> (x % 8));
    }
  }
}

}  // namespace

int ShortcutCommand(unsigned virtualKey, bool control, bool alt, bool shift) {
  for (const Shortcut& s : kShortcuts)
    if (s.key == virtualKey && s.control == control && s.alt == alt && s.shift == shift) return s.command;
  return 0;
}

std::string MenuCaption(int command) {
  std::string caption;
  for (const MenuText& m : kMenuTexts)
    if (m.command == command) caption = m.caption;
  for (const Shortcut& s : kShortcuts)
    if (s.command == command) caption += std::string("\t") + s.text;
  return caption;
}

HFONT WindowFont() {
  static HFONT font = MakeFont(FW_NORMAL);
  return font;
}

HFONT BoldFont() {
  static HFONT font = MakeFont(FW_BOLD);
  return font;
}

HWND Child(HWND parent, const char* type, const char* text, DWORD style, int id, int x, int y, int width,
           int height, DWORD exStyle) {
  HWND child = CreateWindowExA(exStyle, type, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               static_cast<HINSTANCE>(ModuleInstance()), nullptr);
  if (child != nullptr) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(WindowFont()), FALSE);
  return child;
}

std::string WindowText(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  int copied = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return text;
}

void SetTextQuietly(HWND window, const std::string& text, bool& quiet) {
  bool was = quiet;
  quiet = true;
  SetWindowTextA(window, text.c_str());
  quiet = was;
}

void ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, Icon icon) {
  UINT type = MB_OK | (icon == Icon::Error ? MB_ICONERROR : icon == Icon::Warning ? MB_ICONWARNING : 0);
  if (owner == nullptr) type |= MB_TASKMODAL;
  MessageBoxA(owner, text.c_str(), caption.c_str(), type);
}

HIMAGELIST LampImages() {
  static HIMAGELIST images = [] {
    HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 3, 0);
    const COLORREF colours[] = {RGB(220, 40, 30), RGB(40, 180, 50), RGB(240, 200, 20)};
    for (COLORREF colour : colours) {
      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof info.bmiHeader;
      info.bmiHeader.biWidth = 16;
      info.bmiHeader.biHeight = -16;  // top-down rows
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      info.bmiHeader.biCompression = BI_RGB;
      void* bits = nullptr;
      HBITMAP image = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
      if (image == nullptr) continue;
      std::array<BYTE, 32> maskBits{};  // 1 = transparent, rows of 16 bits
      PaintLamp(static_cast<std::uint32_t*>(bits), maskBits, colour);
      HBITMAP mask = CreateBitmap(16, 16, 1, 1, maskBits.data());
      ImageList_Add(list, image, mask);
      DeleteObject(image);
      DeleteObject(mask);
    }
    return list;
  }();
  return images;
}

std::string Literal(const std::string& text) {
  std::string shown;
  for (char c : text) {
    shown += c;
    if (c == '&') shown += '&';
  }
  return shown;
}

DialogTemplate::DialogTemplate() {
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  words_[0] = LOWORD(style);
  words_[1] = HIWORD(style);
  // Extended style 0, no items, position and size set when shown; no menu, the dialog class,
  // an empty title (set afterwards): all zero words.
  words_[7] = 100;
  words_[8] = 50;
}

void PlaceCentred(HWND window, int clientWidth, int clientHeight, HWND over) {
  RECT frame{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE)));
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  RECT area{};
  if (over == nullptr || !IsWindowVisible(over) || !GetWindowRect(over, &area))
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  int x = area.left + (area.right - area.left - width) / 2;
  int y = area.top + (area.bottom - area.top - height) / 2;
  SetWindowPos(window, nullptr, std::max<int>(x, 0), std::max<int>(y, 0), width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace mervane::ui::win32
