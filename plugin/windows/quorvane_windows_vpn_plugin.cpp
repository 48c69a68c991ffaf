#include "quorvane_windows_vpn_plugin.h"

#include <flutter/standard_method_codec.h>

#include "ipc_messages.h"
#include "pipe_client.h"

namespace quorvane_windows_vpn {
namespace {

using MethodResultPtr = std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>>;

const flutter::EncodableMap* ArgumentMap(const flutter::MethodCall<flutter::EncodableValue>& call) {
  const flutter::EncodableValue* arguments = call.arguments();
  return arguments != nullptr ? std::get_if<flutter::EncodableMap>(arguments) : nullptr;
}

}  // namespace

void QuorvaneWindowsVpnPlugin::RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar) {
  auto plugin = std::make_unique<QuorvaneWindowsVpnPlugin>(registrar);
  QuorvaneWindowsVpnPlugin* raw = plugin.get();
  const auto& codec = flutter::StandardMethodCodec::GetInstance();

  raw->ipc_channel_ = std::make_unique<flutter::MethodChannel<flutter::EncodableValue>>(registrar->messenger(),
                                                                                       kIpcChannelName, &codec);
  raw->ipc_channel_->SetMethodCallHandler(
      [raw](const auto& call, auto result) { raw->HandleIpcMethodCall(call, std::move(result)); });

  raw->window_channel_ = std::make_unique<flutter::MethodChannel<flutter::EncodableValue>>(
      registrar->messenger(), kWindowChannelName, &codec);
  raw->window_channel_->SetMethodCallHandler(
      [raw](const auto& call, auto result) { raw->HandleWindowMethodCall(call, std::move(result)); });

  raw->window_proc_id_ = registrar->RegisterTopLevelWindowProcDelegate(
      [raw](HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        return raw->HandleTopLevelWindowMessage(window, message, wparam, lparam);
      });

  // The window is known before its first message where the engine has a view.
  if (flutter::FlutterView* view = registrar->GetView()) raw->LearnWindow(GetAncestor(view->GetNativeWindow(), GA_ROOT));

  registrar->AddPlugin(std::move(plugin));
}

// Made on the platform thread, where the replies come back.
QuorvaneWindowsVpnPlugin::QuorvaneWindowsVpnPlugin(flutter::PluginRegistrarWindows* registrar)
    : registrar_(registrar),
      requests_started_(StartRequestQueue(requests_)),
      watches_started_(StartRequestQueue(watches_)) {}

// The engine lets go of its messenger, and with it the channels' handlers,
// before it destroys the plugins: changing a handler here would reach a null
// engine, so the channels are only released.
QuorvaneWindowsVpnPlugin::~QuorvaneWindowsVpnPlugin() {
  StopRequestQueue(requests_.get());  // nothing is delivered to a destroyed plugin
  StopRequestQueue(watches_.get());
  if (registrar_ != nullptr && window_proc_id_ != 0) registrar_->UnregisterTopLevelWindowProcDelegate(window_proc_id_);
  window_channel_.reset();
  ipc_channel_.reset();
}

void QuorvaneWindowsVpnPlugin::SendAndAnswer(std::string request, MethodResultPtr result, RequestQueue* queue) {
  const auto answer = [](flutter::MethodResult<flutter::EncodableValue>* to, const std::string& reply) {
    to->Success(flutter::EncodableValue(ReplyToMap(ParseServiceReply(reply))));
  };
  if (queue == nullptr) queue = requests_.get();
  if (queue == requests_.get() && !requests_started_) {
    // No worker could be made: the call is answered the old way, waiting.
    answer(result.get(), SendPipeRequest(request));
    return;
  }
  std::shared_ptr<flutter::MethodResult<flutter::EncodableValue>> shared(std::move(result));
  EnqueueRequest(queue, std::move(request),
                 [shared, answer](const std::string& reply) { answer(shared.get(), reply); });
}

void QuorvaneWindowsVpnPlugin::HandleIpcMethodCall(const flutter::MethodCall<flutter::EncodableValue>& call,
                                                   MethodResultPtr result) {
  const std::string& method = call.method_name();
  const flutter::EncodableMap* arguments = ArgumentMap(call);
  if (method == "registerSession") {
    if (arguments == nullptr) return result->Error("invalid_args");
    session_nonce_ = MapString(*arguments, "session_nonce");
    SendAndAnswer(RegisterSessionRequest(session_nonce_), std::move(result));
  } else if (method == "status") {
    SendAndAnswer(StatusRequest(), std::move(result));
  } else if (method == "watch") {
    // A watch may wait for long: never on the platform thread.
    if (!watches_started_) return result->Error("watch_unavailable", "no thread could be made for watches");
    const std::optional<uint64_t> since = arguments != nullptr ? MapCount(*arguments, "since") : std::nullopt;
    SendAndAnswer(WatchRequest(since), std::move(result), watches_.get());
  } else if (method == "disconnect") {
    const std::string reason = arguments != nullptr ? MapString(*arguments, "reason") : "user_action";
    SendAndAnswer(DisconnectRequest(reason), std::move(result));
  } else if (method == "connect") {
    if (arguments == nullptr) return result->Error("invalid_args");
    const auto profile_entry = arguments->find(flutter::EncodableValue("profile"));
    if (profile_entry == arguments->end()) return result->Error("missing_profile");
    const auto* profile = std::get_if<flutter::EncodableMap>(&profile_entry->second);
    if (profile == nullptr) return result->Error("invalid_profile");
    SendAndAnswer(ConnectRequest(MapString(*arguments, "session_nonce"), ProfileFromMap(*profile)), std::move(result));
  } else {
    result->NotImplemented();
  }
}

}  // namespace quorvane_windows_vpn
