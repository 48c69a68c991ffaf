// A high-DPI-aware top-level Win32 window that hosts one child window (the
// Flutter view) and follows the system's light or dark theme.
#ifndef RUNNER_WIN32_WINDOW_H_
#define RUNNER_WIN32_WINDOW_H_

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

class Win32Window {
 public:
  // The class every Flutter runner window has; the single-instance start
  // finds the first instance by it together with the title.
  static constexpr const wchar_t* kWindowClassName = L"FLUTTER_RUNNER_WIN32_WINDOW";

  struct Point {
    unsigned int x;
    unsigned int y;
    Point(unsigned int x_in, unsigned int y_in) : x(x_in), y(y_in) {}
  };
  struct Size {
    unsigned int width;
    unsigned int height;
    Size(unsigned int width_in, unsigned int height_in) : width(width_in), height(height_in) {}
  };

  Win32Window();
  virtual ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Makes the window, hidden, with |title| at |origin| and of |size| in
  // logical pixels, scaled for the monitor it lands on. False on failure.
  bool Create(const std::wstring& title, const Point& origin, const Size& size);
  bool Show();
  void Destroy();
  // Places |content| as the only child, filling the client area.
  void SetChildContent(HWND content);
  HWND GetHandle();
  // Whether closing the window ends the message loop.
  void SetQuitOnClose(bool quit_on_close);
  RECT GetClientArea();

 protected:
  virtual LRESULT MessageHandler(HWND window, UINT const message, WPARAM const wparam, LPARAM const lparam) noexcept;
  virtual bool OnCreate();
  virtual void OnDestroy();

 private:
  friend class WindowClassRegistrar;

  static LRESULT CALLBACK WndProc(HWND const window, UINT const message, WPARAM const wparam,
                                  LPARAM const lparam) noexcept;
  static Win32Window* GetThisFromHandle(HWND const window) noexcept;
  static void UpdateTheme(HWND const window);

  bool quit_on_close_ = false;
  HWND window_handle_ = nullptr;
  HWND child_content_ = nullptr;
};

#endif  // RUNNER_WIN32_WINDOW_H_
