/// The Quorvane VPN Windows plugin: a typed client of QuorvaneVpnService
/// (through the plugin's IPC channel) and the window calls and events of the
/// single-instance, minimise-to-background window.
library quorvane_windows_vpn;

import 'dart:async';
import 'dart:convert';

import 'package:flutter/services.dart';

/// The channel that carries requests to QuorvaneVpnService.
const String ipcChannelName = 'quorvane.windows_vpn/ipc';

/// The channel of window management and its two events.
const String windowChannelName = 'quorvane.windows_vpn/window';

/// A VPN profile, with the fields and types of the IPC channel.
class VpnProfile {
  const VpnProfile({
    required this.nodeId,
    required this.clientPrivateKey,
    required this.serverPublicKey,
    required this.addressCidr,
    required this.endpointHost,
    this.endpointPort = 51820,
    this.dns = const <String>[],
    this.allowedIps = const <String>[],
    this.deviceId,
    this.displayName,
    this.clientPublicKey,
    this.preSharedKey,
  });

  final String nodeId;
  final String clientPrivateKey;
  final String serverPublicKey;
  final String addressCidr;
  final String endpointHost;
  final int endpointPort;
  final List<String> dns;
  final List<String> allowedIps;
  final String? deviceId;
  final String? displayName;
  final String? clientPublicKey;
  final String? preSharedKey;

  /// The map the plugin reads: the channel's keys, `endpoint_port` an int.
  Map<String, Object> toMap() => <String, Object>{
        'node_id': nodeId,
        'client_private_key': clientPrivateKey,
        'server_public_key': serverPublicKey,
        'address_cidr': addressCidr,
        'endpoint_host': endpointHost,
        'endpoint_port': endpointPort,
        'dns': dns,
        'allowed_ips': allowedIps,
        if (deviceId != null) 'device_id': deviceId!,
        if (displayName != null) 'display_name': displayName!,
        if (clientPublicKey != null) 'client_public_key': clientPublicKey!,
        if (preSharedKey != null) 'pre_shared_key': preSharedKey!,
      };
}

/// What the service answered, or what the plugin's client said instead
/// (`pipe_unavailable`, `pipe_busy`, `pipe_access_denied`, `pipe_write_failed`,
/// `pipe_read_failed`, `pipe_server_untrusted`).
class ServiceReply {
  const ServiceReply({required this.ok, required this.raw, this.phase, this.error, this.message, this.generation});

  /// Reads the map the IPC channel answers with: `raw`, `ok`, `phase`.
  factory ServiceReply.fromChannel(Object? result) {
    final Map<Object?, Object?> map = result is Map ? result : const <Object?, Object?>{};
    final String raw = map['raw'] is String ? map['raw'] as String : '';
    Object? decoded;
    try {
      decoded = jsonDecode(raw);
    } on FormatException {
      decoded = null;
    }
    final Map<String, Object?> reply = decoded is Map<String, Object?> ? decoded : const <String, Object?>{};
    return ServiceReply(
      ok: map['ok'] == true,
      raw: raw,
      phase: map['phase'] is String ? map['phase'] as String : null,
      error: reply['error'] is String ? reply['error'] as String : null,
      message: reply['message'] is String ? reply['message'] as String : null,
      generation: reply['generation'] is int ? reply['generation'] as int : null,
    );
  }

  final bool ok;
  final String raw;
  final String? phase;
  final String? error;
  final String? message;

  /// A status's place in the service's changes: it grows with every change
  /// a status shows. Null on replies that are not statuses.
  final int? generation;
}

/// The client of QuorvaneVpnService. Calls on the plugin never block the
/// window: each answers when the service has.
class QuorvaneVpnClient {
  QuorvaneVpnClient({MethodChannel? channel}) : _channel = channel ?? const MethodChannel(ipcChannelName);

  final MethodChannel _channel;

  Future<ServiceReply> registerSession(String sessionNonce) =>
      _call('registerSession', <String, Object>{'session_nonce': sessionNonce});

  Future<ServiceReply> status() => _call('status', null);

  Future<ServiceReply> connect({required String sessionNonce, required VpnProfile profile}) =>
      _call('connect', <String, Object>{'session_nonce': sessionNonce, 'profile': profile.toMap()});

  Future<ServiceReply> disconnect({String reason = 'user_action'}) =>
      _call('disconnect', <String, Object>{'reason': reason});

  /// The service's status now, then again at each change: the phase, the
  /// node, whether the tunnel runs, and why it went down when nobody asked
  /// (it ended by itself, its owner logged off, the automatic stop): the
  /// reply's [ServiceReply.message]. Use it instead of polling [status].
  ///
  /// The plugin waits for the changes (the service's `watch`) on a thread of
  /// its own, so its other calls never wait behind them, and stops once the
  /// stream has no listener (at the latest when the service's 25 s idle
  /// answer comes). A failure, such as no service (`pipe_unavailable`) or
  /// two other watchers already (`watchers_busy`), is delivered as a reply
  /// with `ok` false, and the stream tries again after [retryDelay]. A plugin
  /// that cannot watch at all (`watch_unavailable`) adds that
  /// [PlatformException] as the stream's error and closes it.
  Stream<ServiceReply> statusChanges({Duration retryDelay = const Duration(seconds: 2)}) {
    late final StreamController<ServiceReply> controller;
    bool listening = false;
    Future<void> watch() async {
      int? since;
      while (listening) {
        final ServiceReply reply;
        try {
          reply = await _call('watch', since == null ? null : <String, Object>{'since': since});
        } on PlatformException catch (error) {
          // The plugin could not watch at all (no thread for it): said once, and the stream ends.
          controller.addError(error);
          await controller.close();
          return;
        }
        if (!listening) {
          break;
        }
        final int? generation = reply.generation;
        if (reply.ok && generation != null) {
          if (generation != since) {
            controller.add(reply);
          }
          since = generation;
        } else {
          controller.add(reply);
          since = null;
          await Future<void>.delayed(retryDelay);
        }
      }
    }

    controller = StreamController<ServiceReply>(
      onListen: () {
        listening = true;
        unawaited(watch());
      },
      onCancel: () {
        listening = false;
      },
    );
    return controller.stream;
  }

  Future<ServiceReply> _call(String method, Map<String, Object>? arguments) async {
    final Object? result = await _channel.invokeMethod<Object?>(method, arguments);
    return ServiceReply.fromChannel(result);
  }
}

/// The window calls and the two events the plugin sends.
class QuorvaneWindow {
  QuorvaneWindow({MethodChannel? channel}) : _channel = channel ?? const MethodChannel(windowChannelName) {
    _channel.setMethodCallHandler(_onCall);
  }

  final MethodChannel _channel;
  final StreamController<void> _closeRequested = StreamController<void>.broadcast();
  final StreamController<void> _existingInstanceActivate = StreamController<void>.broadcast();

  /// The user closed the window: answer with [minimizeToBackground] or
  /// [completeClose]. While nothing listens here, closes are not held: the
  /// window closes at the user's second try at the latest.
  Stream<void> get onCloseRequested => _closeRequested.stream;

  /// A second start of the application brought this window forward.
  Stream<void> get onExistingInstanceActivate => _existingInstanceActivate.stream;

  Future<Map<Object?, Object?>> getSingleInstanceDiagnostics() async =>
      await _channel.invokeMethod<Map<Object?, Object?>>('getSingleInstanceDiagnostics') ?? <Object?, Object?>{};

  /// Minimises the window. Both this and [completeClose] throw a
  /// [PlatformException] with code `no_window` before the plugin knows its window.
  Future<void> minimizeToBackground() => _channel.invokeMethod<void>('minimizeToBackground');

  /// Lets the next close pass, and closes the window.
  Future<void> completeClose() => _channel.invokeMethod<void>('completeClose');

  // An event counts as heard only while someone listens to its stream. One
  // nobody hears is answered as not implemented, so that the plugin lets the
  // close through instead of holding it for nobody.
  Future<Object?> _onCall(MethodCall call) async {
    StreamController<void>? events;
    switch (call.method) {
      case 'onCloseRequested':
        events = _closeRequested;
        break;
      case 'onExistingInstanceActivate':
        events = _existingInstanceActivate;
        break;
    }
    if (events == null || !events.hasListener) {
      throw MissingPluginException('${call.method} has no listener');
    }
    events.add(null);
    return null;
  }

  void dispose() {
    _channel.setMethodCallHandler(null);
    _closeRequested.close();
    _existingInstanceActivate.close();
  }
}
