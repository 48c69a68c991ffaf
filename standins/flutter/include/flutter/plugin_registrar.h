// Stand-in for Flutter's <flutter/plugin_registrar.h>.
#ifndef FLUTTER_PLUGIN_REGISTRAR_WRAPPER_H_
#define FLUTTER_PLUGIN_REGISTRAR_WRAPPER_H_

#include <map>
#include <memory>
#include <set>

#include <flutter_plugin_registrar.h>

#include "binary_messenger.h"

namespace flutter {

class Plugin {
 public:
  virtual ~Plugin() = default;
};

class PluginRegistrar {
 public:
  explicit PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar);
  virtual ~PluginRegistrar();
  PluginRegistrar(const PluginRegistrar&) = delete;
  PluginRegistrar& operator=(const PluginRegistrar&) = delete;

  BinaryMessenger* messenger() { return messenger_.get(); }
  void AddPlugin(std::unique_ptr<Plugin> plugin);

 protected:
  FlutterDesktopPluginRegistrarRef registrar() const { return registrar_; }
  // Destroys the plugins before anything of the registrar goes.
  void ClearPlugins();

 private:
  FlutterDesktopPluginRegistrarRef registrar_;
  std::unique_ptr<BinaryMessenger> messenger_;
  std::set<std::unique_ptr<Plugin>> plugins_;
};

class PluginRegistrarManager {
 public:
  static PluginRegistrarManager* GetInstance();
  template <class T>
  T* GetRegistrar(FlutterDesktopPluginRegistrarRef registrar_ref) {
    auto found = registrars_.find(registrar_ref);
    if (found != registrars_.end()) return static_cast<T*>(found->second.get());
    auto created = std::make_unique<T>(registrar_ref);
    T* raw = created.get();
    registrars_[registrar_ref] = std::move(created);
    return raw;
  }
  // Destroys the wrapper of an engine registrar (at engine shut-down).
  void DestroyRegistrar(FlutterDesktopPluginRegistrarRef registrar_ref) { registrars_.erase(registrar_ref); }

 private:
  std::map<FlutterDesktopPluginRegistrarRef, std::unique_ptr<PluginRegistrar>> registrars_;
};

}  // namespace flutter

#endif  // FLUTTER_PLUGIN_REGISTRAR_WRAPPER_H_
