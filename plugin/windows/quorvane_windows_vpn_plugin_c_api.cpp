#include "include/quorvane_windows_vpn/quorvane_windows_vpn_plugin_c_api.h"

#include <flutter/plugin_registrar_windows.h>

#include "quorvane_windows_vpn_plugin.h"

void QuorvaneWindowsVpnPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  quorvane_windows_vpn::QuorvaneWindowsVpnPlugin::RegisterWithRegistrar(
      flutter::PluginRegistrarManager::GetInstance()->GetRegistrar<flutter::PluginRegistrarWindows>(registrar));
}
