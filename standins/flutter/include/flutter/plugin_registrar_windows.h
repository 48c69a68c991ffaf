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

using WindowProcDelegate = std::function<std::optional<LRESULT>(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)>;

class PluginRegistrarWindows : public PluginRegistrar {
 public:
  explicit PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef core_registrar)
      : PluginRegistrar(core_registrar) {}
  ~PluginRegistrarWindows() override { ClearPlugins(); }

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
  std::map<int, WindowProcDelegate> delegates_;
  int next_id_ = 1;
};

}  // namespace flutter

#endif  // FLUTTER_PLUGIN_REGISTRAR_WINDOWS_H_
