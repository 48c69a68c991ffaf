// Rewritten by Flutter's tool after "flutter pub get".
#include "generated_plugin_registrant.h"

#include <quorvane_windows_vpn/quorvane_windows_vpn_plugin_c_api.h>

void RegisterPlugins(flutter::PluginRegistry* registry) {
  QuorvaneWindowsVpnPluginCApiRegisterWithRegistrar(
      registry->GetRegistrarForPlugin("QuorvaneWindowsVpnPluginCApi"));
}
