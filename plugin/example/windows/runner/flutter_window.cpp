#include "flutter_window.h"

#include <optional>

#include "flutter/generated_plugin_registrant.h"

FlutterWindow::FlutterWindow(const flutter::DartProject& project) : project_(project) {}

FlutterWindow::~FlutterWindow() {}

bool FlutterWindow::OnCreate() {
  if (!Win32Window::OnCreate()) return false;

  const RECT frame = GetClientArea();
  // The view fills the client area; the controller owns the engine.
  flutter_controller_ = std::make_unique<flutter::FlutterViewController>(frame.right - frame.left,
                                                                         frame.bottom - frame.top, project_);
  if (!flutter_controller_->engine() || !flutter_controller_->view()) return false;
  RegisterPlugins(flutter_controller_->engine());
  SetChildContent(flutter_controller_->view()->GetNativeWindow());

  // Shown once Flutter has drawn its first frame, so no blank window flashes.
  flutter_controller_->engine()->SetNextFrameCallback([this]() { this->Show(); });
  // A frame is asked for in case none is pending yet.
  flutter_controller_->ForceRedraw();
  return true;
}

void FlutterWindow::OnDestroy() {
  flutter_controller_ = nullptr;
  Win32Window::OnDestroy();
}

LRESULT FlutterWindow::MessageHandler(HWND window, UINT const message, WPARAM const wparam,
                                      LPARAM const lparam) noexcept {
  // The engine and the plugins' top-level delegates see every message first:
  // this is where the plugin holds a close for Dart and answers activation.
  if (flutter_controller_) {
    const std::optional<LRESULT> result =
        flutter_controller_->HandleTopLevelWindowProc(window, message, wparam, lparam);
    if (result) return *result;
  }
  switch (message) {
    case WM_FONTCHANGE:
      flutter_controller_->engine()->ReloadSystemFonts();
      break;
  }
  return Win32Window::MessageHandler(window, message, wparam, lparam);
}
