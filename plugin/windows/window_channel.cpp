// The window channel and the top-level window delegate of the plugin: the
// single-instance report, activation by a second start, and the close that
// Dart decides when Dart listens, and that passes when nobody does.
#include <flutter/method_result_functions.h>

#include <mutex>

#include "quorvane_windows_vpn_plugin.h"
#include "scoped_handle.h"

namespace quorvane_windows_vpn {
namespace {

std::string Narrow(const wchar_t* ascii) {
  std::string text;
  for (; *ascii != L'\0'; ++ascii) text.push_back(static_cast<char>(*ascii));
  return text;
}

std::wstring RoleInThisProcess() {
  wchar_t role[32] = {};
  const DWORD length = GetEnvironmentVariableW(kSingleInstanceRoleVariable, role, 32);
  return length > 0 && length < 32 ? std::wstring(role, length) : std::wstring();
}

}  // namespace

UINT ActivateMessageId() {
  static std::once_flag once;
  static UINT id = 0;
  std::call_once(once, [] { id = RegisterWindowMessageW(kActivateMessageName); });
  return id;
}

void QuorvaneWindowsVpnPlugin::HandleWindowMethodCall(const flutter::MethodCall<flutter::EncodableValue>& call,
                                                      std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result) {
  const std::string& method = call.method_name();
  if (method == "getSingleInstanceDiagnostics") {
    // The runner owns the mutex; the plugin reports whether it is there and
    // whether this process's start claimed it.
    const ScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kSingleInstanceMutexName));
    flutter::EncodableMap diagnostics;
    diagnostics[flutter::EncodableValue("single_instance_enabled")] = flutter::EncodableValue(mutex.valid());
    diagnostics[flutter::EncodableValue("single_instance_mutex_name")] =
        flutter::EncodableValue(Narrow(kSingleInstanceMutexName));
    diagnostics[flutter::EncodableValue("single_instance_is_primary")] =
        flutter::EncodableValue(mutex.valid() && RoleInThisProcess() == L"primary");
    diagnostics[flutter::EncodableValue("activate_existing_window_supported")] =
        flutter::EncodableValue(ActivateMessageId() != 0);
    if (!mutex.valid()) {
      diagnostics[flutter::EncodableValue("single_instance_error")] = flutter::EncodableValue("open_mutex_failed");
    }
    result->Success(flutter::EncodableValue(diagnostics));
  } else if (method == "minimizeToBackground" || method == "completeClose") {
    if (window_handle_ == nullptr) return result->Error("no_window", "the plugin has no top-level window yet");
    if (method == "minimizeToBackground") {
      ShowWindow(window_handle_, SW_MINIMIZE);
    } else {
      AllowNextClose(window_handle_);
    }
    result->Success();
  } else {
    result->NotImplemented();
  }
}

void QuorvaneWindowsVpnPlugin::AllowNextClose(HWND window) {
  close_allowed_ = true;
  // Posted: the window closes after the current message has been answered.
  PostMessageW(window, WM_CLOSE, 0, 0);
}

void QuorvaneWindowsVpnPlugin::LearnWindow(HWND window) {
  if (window == nullptr || window == window_handle_) return;
  window_handle_ = window;
  // Marks the window a second start may activate, and lets the activation in
  // from a start of lower integrity.
  SetPropW(window, kPluginWindowProperty, reinterpret_cast<HANDLE>(1));
  const UINT activate = ActivateMessageId();
  if (activate != 0) ChangeWindowMessageFilterEx(window, activate, MSGFLT_ALLOW, nullptr);
}

std::optional<LRESULT> QuorvaneWindowsVpnPlugin::HandleTopLevelWindowMessage(HWND window, UINT message, WPARAM,
                                                                              LPARAM) {
  if (message == WM_NCDESTROY) {
    if (window == window_handle_) {
      RemovePropW(window, kPluginWindowProperty);
      window_handle_ = nullptr;
    }
    return std::nullopt;
  }
  LearnWindow(window);
  const UINT activate = ActivateMessageId();
  if (activate != 0 && message == activate) {
    if (IsIconic(window)) {
      ShowWindow(window, SW_RESTORE);
    } else if (!IsWindowVisible(window)) {
      ShowWindow(window, SW_SHOW);
    }
    SetForegroundWindow(window);
    // Told for its interest only: the window comes forward whoever listens.
    if (window_channel_) window_channel_->InvokeMethod("onExistingInstanceActivate", nullptr);
    return 0;
  }
  if (message != WM_CLOSE) return std::nullopt;
  if (close_allowed_ || !window_channel_) {
    close_allowed_ = false;
    return std::nullopt;
  }
  // Held for Dart, which answers with minimizeToBackground or completeClose.
  // A close nobody hears comes back as NotImplemented (no handler, a handler
  // without the method, or the engine's buffer pushing the unheard message
  // out with an empty reply at the next close) and then passes.
  const std::weak_ptr<int> alive = lifetime_;
  const auto pass = [this, alive, window] {
    if (!alive.expired() && IsWindow(window)) AllowNextClose(window);
  };
  window_channel_->InvokeMethod(
      "onCloseRequested", nullptr,
      std::make_unique<flutter::MethodResultFunctions<flutter::EncodableValue>>(
          nullptr, [pass](const std::string&, const std::string&, const flutter::EncodableValue*) { pass(); }, pass));
  return 0;
}

}  // namespace quorvane_windows_vpn
