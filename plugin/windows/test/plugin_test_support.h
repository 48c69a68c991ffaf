// Registers the plugin with a stand-in engine as the C export does, from the
// plugin's sources (the tests do not load the DLL).
#pragma once

#include <flutter/plugin_registrar_windows.h>
#include <flutter/standin_engine.h>

#include "quorvane_windows_vpn_plugin.h"

namespace quorvane_windows_vpn {

inline void RegisterPlugin(flutter::standin::TestEngine& engine) {
  QuorvaneWindowsVpnPlugin::RegisterWithRegistrar(
      flutter::PluginRegistrarManager::GetInstance()->GetRegistrar<flutter::PluginRegistrarWindows>(
          engine.registrar()));
}

}  // namespace quorvane_windows_vpn
