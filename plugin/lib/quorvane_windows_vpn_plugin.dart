/// The two method channels of the Quorvane VPN Windows plugin. The plugin's
/// work happens in its Windows code; Dart talks to it through these names.
library quorvane_windows_vpn_plugin;

import 'package:flutter/services.dart';

/// Requests to QuorvaneVpnService: "registerSession", "status", "connect",
/// "disconnect". Each answers a map with "raw", "ok" and, when the reply had
/// one, "phase".
const MethodChannel quorvaneIpcChannel = MethodChannel('quorvane.windows_vpn/ipc');

/// Window management: "getSingleInstanceDiagnostics", "minimizeToBackground",
/// "completeClose"; the plugin calls "onExistingInstanceActivate" and
/// "onCloseRequested".
const MethodChannel quorvaneWindowChannel = MethodChannel('quorvane.windows_vpn/window');
