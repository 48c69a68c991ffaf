// The plugin object: the IPC channel to QuorvaneVpnService and the window
// channel with its top-level window delegate.
#pragma once

#include <windows.h>

#include <flutter/encodable_value.h>
#include <flutter/method_channel.h>
#include <flutter/plugin_registrar_windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "quorvane_windows_vpn/single_instance_names.h"
#include "request_queue.h"

namespace quorvane_windows_vpn {

constexpr char kIpcChannelName[] = "quorvane.windows_vpn/ipc";
constexpr char kWindowChannelName[] = "quorvane.windows_vpn/window";

// The registered activation message's number, obtained once per process; 0
// when it could not be registered.
UINT ActivateMessageId();

class QuorvaneWindowsVpnPlugin : public flutter::Plugin {
 public:
  static void RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar);

  explicit QuorvaneWindowsVpnPlugin(flutter::PluginRegistrarWindows* registrar);
  ~QuorvaneWindowsVpnPlugin() override;
  QuorvaneWindowsVpnPlugin(const QuorvaneWindowsVpnPlugin&) = delete;
  QuorvaneWindowsVpnPlugin& operator=(const QuorvaneWindowsVpnPlugin&) = delete;

  void HandleIpcMethodCall(const flutter::MethodCall<flutter::EncodableValue>& call,
                           std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result);
  void HandleWindowMethodCall(const flutter::MethodCall<flutter::EncodableValue>& call,
                              std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result);
  std::optional<LRESULT> HandleTopLevelWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  // Sends |request| from |queue|'s worker and answers the call with the reply
  // map on the platform thread.
  void SendAndAnswer(std::string request, std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result,
                     RequestQueue* queue = nullptr);
  // The window the plugin serves: marked for a second start to find.
  void LearnWindow(HWND window);
  // Lets the next WM_CLOSE through, and posts one.
  void AllowNextClose(HWND window);

  std::string session_nonce_;
  flutter::PluginRegistrarWindows* registrar_;
  int32_t window_proc_id_ = 0;
  HWND window_handle_ = nullptr;
  bool close_allowed_ = false;
  // Expires with the plugin: a reply from Dart that comes later does nothing.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
  std::shared_ptr<RequestQueue> requests_ = std::make_shared<RequestQueue>();
  bool requests_started_ = false;
  // Watches wait for the service's next change: on a worker of their own, so
  // that no other request waits behind one.
  std::shared_ptr<RequestQueue> watches_ = std::make_shared<RequestQueue>();
  bool watches_started_ = false;
  std::unique_ptr<flutter::MethodChannel<flutter::EncodableValue>> ipc_channel_;
  std::unique_ptr<flutter::MethodChannel<flutter::EncodableValue>> window_channel_;
};

}  // namespace quorvane_windows_vpn
