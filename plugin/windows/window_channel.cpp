// The window channel and the top-level window delegate of the plugin: the
// single-instance report, activation by a second start, and the close that
// Dart decides.
#include <mutex>

#include "quorvane_windows_vpn_plugin.h"
#include "scoped_handle.h"

namespace quorvane_windows_vpn {

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
    flutter::EncodableMap diagnostics;
    diagnostics[flutter::EncodableValue("single_instance_enabled")] = flutter::EncodableValue(true);
    diagnostics[flutter::EncodableValue("single_instance_mutex_name")] =
        flutter::EncodableValue("Local\\QuorvaneVpnClientSingleInstance");
    diagnostics[flutter::EncodableValue("single_instance_is_primary")] = flutter::EncodableValue(true);
    diagnostics[flutter::EncodableValue("activate_existing_window_supported")] =
        flutter::EncodableValue(ActivateMessageId() != 0);
    // The runner owns the mutex; the plugin only checks that it is there.
    const ScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kSingleInstanceMutexName));
    if (!mutex.valid()) {
      diagnostics[flutter::EncodableValue("single_instance_error")] = flutter::EncodableValue("open_mutex_failed");
    }
    result->Success(flutter::EncodableValue(diagnostics));
  } else if (method == "minimizeToBackground") {
    if (window_handle_ != nullptr) ShowWindow(window_handle_, SW_MINIMIZE);
    result->Success();
  } else if (method == "completeClose") {
    if (window_handle_ != nullptr) {
      close_allowed_ = true;
      // Posted: the window closes after this call has been answered.
      PostMessageW(window_handle_, WM_CLOSE, 0, 0);
    }
    result->Success();
  } else {
    result->NotImplemented();
  }
}

std::optional<LRESULT> QuorvaneWindowsVpnPlugin::HandleTopLevelWindowMessage(HWND window, UINT message, WPARAM,
                                                                              LPARAM) {
  window_handle_ = window;
  const UINT activate = ActivateMessageId();
  if (activate != 0 && message == activate) {
    if (window != nullptr) {
      if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
      } else if (!IsWindowVisible(window)) {
        ShowWindow(window, SW_SHOW);
      }
      SetForegroundWindow(window);
    }
    if (window_channel_) window_channel_->InvokeMethod("onExistingInstanceActivate", nullptr);
    return 0;
  }
  if (message != WM_CLOSE) return std::nullopt;
  if (close_allowed_) {
    close_allowed_ = false;
    return std::nullopt;
  }
  if (window_channel_) window_channel_->InvokeMethod("onCloseRequested", nullptr);
  return 0;
}

}  // namespace quorvane_windows_vpn
