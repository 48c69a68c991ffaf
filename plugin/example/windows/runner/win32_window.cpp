#include "win32_window.h"

#include <dwmapi.h>

#include "resource.h"

namespace {

// DWMWA_USE_IMMERSIVE_DARK_MODE, which older SDKs do not name.
constexpr DWORD kDwmUseImmersiveDarkMode = 20;
constexpr const wchar_t kThemeKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr const wchar_t kLightThemeValue[] = L"AppsUseLightTheme";

int g_active_windows = 0;

using EnableNonClientDpiScalingFunction = BOOL __stdcall(HWND);

int Scale(unsigned int source, double scale_factor) { return static_cast<int>(source * scale_factor); }

// Scales the title bar and borders with the monitor's DPI where the system
// can (Windows 10 1607 and later, in per-monitor V1 mode).
void EnableFullDpiSupportIfAvailable(HWND window) {
  HMODULE user32 = LoadLibraryA("User32.dll");
  if (user32 == nullptr) return;
  auto enable = reinterpret_cast<EnableNonClientDpiScalingFunction*>(
      reinterpret_cast<void*>(GetProcAddress(user32, "EnableNonClientDpiScaling")));
  if (enable != nullptr) enable(window);
  FreeLibrary(user32);
}

}  // namespace

// Registers the window class once, for as long as a window of it exists.
class WindowClassRegistrar {
 public:
  static WindowClassRegistrar* GetInstance() {
    static WindowClassRegistrar* instance = new WindowClassRegistrar();
    return instance;
  }
  const wchar_t* GetWindowClass() {
    if (!registered_) {
      WNDCLASS window_class{};
      window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
      window_class.lpszClassName = Win32Window::kWindowClassName;
      window_class.style = CS_HREDRAW | CS_VREDRAW;
      window_class.hInstance = GetModuleHandle(nullptr);
      window_class.hIcon = LoadIcon(window_class.hInstance, MAKEINTRESOURCE(IDI_APP_ICON));
      window_class.lpfnWndProc = Win32Window::WndProc;
      RegisterClass(&window_class);
      registered_ = true;
    }
    return Win32Window::kWindowClassName;
  }
  void UnregisterWindowClass() {
    UnregisterClass(Win32Window::kWindowClassName, nullptr);
    registered_ = false;
  }

 private:
  bool registered_ = false;
};

Win32Window::Win32Window() { ++g_active_windows; }

Win32Window::~Win32Window() {
  --g_active_windows;
  Destroy();
}

bool Win32Window::Create(const std::wstring& title, const Point& origin, const Size& size) {
  Destroy();
  const wchar_t* window_class = WindowClassRegistrar::GetInstance()->GetWindowClass();
  // Logical pixels: 96 DPI is a scale of 1.
  const UINT desktop_dpi = GetDpiForWindow(GetDesktopWindow());
  const double scale_factor = (desktop_dpi != 0 ? desktop_dpi : 96) / 96.0;
  HWND window = CreateWindow(window_class, title.c_str(), WS_OVERLAPPEDWINDOW, Scale(origin.x, scale_factor),
                             Scale(origin.y, scale_factor), Scale(size.width, scale_factor),
                             Scale(size.height, scale_factor), nullptr, nullptr, GetModuleHandle(nullptr), this);
  if (window == nullptr) return false;
  UpdateTheme(window);
  return OnCreate();
}

bool Win32Window::Show() { return ShowWindow(window_handle_, SW_SHOWNORMAL); }

LRESULT CALLBACK Win32Window::WndProc(HWND const window, UINT const message, WPARAM const wparam,
                                      LPARAM const lparam) noexcept {
  if (message == WM_NCCREATE) {
    auto create = reinterpret_cast<CREATESTRUCT*>(lparam);
    SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    auto that = static_cast<Win32Window*>(create->lpCreateParams);
    EnableFullDpiSupportIfAvailable(window);
    that->window_handle_ = window;
  } else if (Win32Window* that = GetThisFromHandle(window)) {
    return that->MessageHandler(window, message, wparam, lparam);
  }
  return DefWindowProc(window, message, wparam, lparam);
}

LRESULT Win32Window::MessageHandler(HWND window, UINT const message, WPARAM const wparam,
                                    LPARAM const lparam) noexcept {
  switch (message) {
    case WM_DESTROY:
      window_handle_ = nullptr;
      Destroy();
      if (quit_on_close_) PostQuitMessage(0);
      return 0;

    case WM_DPICHANGED: {
      auto suggested = reinterpret_cast<RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_SIZE: {
      const RECT area = GetClientArea();
      if (child_content_ != nullptr) {
        MoveWindow(child_content_, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (child_content_ != nullptr) SetFocus(child_content_);
      return 0;

    case WM_DWMCOLORIZATIONCOLORCHANGED:
      UpdateTheme(window);
      return 0;
  }
  return DefWindowProc(window_handle_, message, wparam, lparam);
}

void Win32Window::Destroy() {
  OnDestroy();
  if (window_handle_ != nullptr) {
    DestroyWindow(window_handle_);
    window_handle_ = nullptr;
  }
  if (g_active_windows == 0) WindowClassRegistrar::GetInstance()->UnregisterWindowClass();
}

Win32Window* Win32Window::GetThisFromHandle(HWND const window) noexcept {
  return reinterpret_cast<Win32Window*>(GetWindowLongPtr(window, GWLP_USERDATA));
}

void Win32Window::SetChildContent(HWND content) {
  child_content_ = content;
  SetParent(content, window_handle_);
  const RECT area = GetClientArea();
  MoveWindow(content, area.left, area.top, area.right - area.left, area.bottom - area.top, true);
  SetFocus(child_content_);
}

RECT Win32Window::GetClientArea() {
  RECT area{};
  GetClientRect(window_handle_, &area);
  return area;
}

HWND Win32Window::GetHandle() { return window_handle_; }

void Win32Window::SetQuitOnClose(bool quit_on_close) { quit_on_close_ = quit_on_close; }

bool Win32Window::OnCreate() { return true; }

void Win32Window::OnDestroy() {}

void Win32Window::UpdateTheme(HWND const window) {
  DWORD light_mode = 1;
  DWORD size = sizeof(light_mode);
  const LSTATUS result = RegGetValue(HKEY_CURRENT_USER, kThemeKey, kLightThemeValue, RRF_RT_REG_DWORD, nullptr,
                                     &light_mode, &size);
  if (result == ERROR_SUCCESS) {
    BOOL dark = light_mode == 0;
    DwmSetWindowAttribute(window, kDwmUseImmersiveDarkMode, &dark, sizeof(dark));
  }
}
