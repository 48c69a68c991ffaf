// Stand-in for Flutter's <flutter/plugin_registrar_windows.h>.
#ifndef FLUTTER_PLUGIN_REGISTRAR_WINDOWS_H_
#define FLUTTER_PLUGIN_REGISTRAR_WINDOWS_H_

#include <windows.h>

#include <functional>
#include <map>
#include <optional>

#include <flutter_plugin_registrar.h>

#include "plugin_registrar.h"

namespace flutter {

// The view a plugin's registrar shows: the engine's child window.
class FlutterView {
 public:
  explicit FlutterView(HWND window) : window_(window) {}
  HWND GetNativeWindow() { return window_; }

 private:
  HWND window_;
};

using WindowProcDelegate = std::function<std::optional<LRESULT>(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)>;

class PluginRegistrarWindows : public PluginRegistrar {
 public:
  explicit PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef core_registrar)
      : PluginRegistrar(core_registrar) {}
  ~PluginRegistrarWindows() override { ClearPlugins(); }

  // Null for an engine without a view.
  FlutterView* GetView() { return view_ ? &*view_ : nullptr; }
  // Not Flutter's: how the stand-in engine gives the registrar its view.
  void SetViewWindow(HWND window) { view_.emplace(window); }

  int RegisterTopLevelWindowProcDelegate(WindowProcDelegate delegate) {
    delegates_[next_id_] = std::move(delegate);
    return next_id_++;
  }
  void UnregisterTopLevelWindowProcDelegate(int proc_id) { delegates_.erase(proc_id); }

  // Not Flutter's: how the stand-in engine passes top-level messages on.
  std::optional<LRESULT> CallTopLevelDelegates(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    for (auto& [id, delegate] : delegates_) {
      const std::optional<LRESULT> result = delegate(hwnd, message, wparam, lparam);
      if (result) return result;
    }
    return std::nullopt;
  }
  size_t DelegateCount() const { return delegates_.size(); }

 private:
  std::optional<FlutterView> view_;
  std::map<int, WindowProcDelegate> delegates_;
  int next_id_ = 1;
};

}  // namespace flutter

#endif  // FLUTTER_PLUGIN_REGISTRAR_WINDOWS_H_
