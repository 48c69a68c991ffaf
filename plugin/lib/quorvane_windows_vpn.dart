/// The Quorvane VPN Windows plugin: a typed client of QuorvaneVpnService
/// (through the plugin's IPC channel) and the window calls and events of the
/// single-instance, minimise-to-background window.
library quorvane_windows_vpn;

import 'dart:async';
import 'dart:convert';

import 'package:flutter/foundation.dart';
import 'package:flutter/services.dart';

/// The channel that carries requests to QuorvaneVpnService.
const String ipcChannelName = 'quorvane.windows_vpn/ipc';

/// The channel of window management and its two events.
const String windowChannelName = 'quorvane.windows_vpn/window';

/// The phase of the service's tunnel, as a status or a reply says it.
enum VpnPhase {
  /// No tunnel of the service's runs (or one is going down).
  disconnected,

  /// A connect is in hand: the tunnel is being brought up.
  connecting,

  /// The tunnel runs.
  connected,

  /// A phase this version of the plugin does not know (a newer service's),
  /// or no phase at all (an error reply).
  unknown,
}

/// The phase for the service's text; [VpnPhase.unknown] for anything else.
VpnPhase parseVpnPhase(String? text) {
  for (final VpnPhase phase in VpnPhase.values) {
    if (phase != VpnPhase.unknown && phase.name == text) {
      return phase;
    }
  }
  return VpnPhase.unknown;
}

/// Every error code a [ServiceReply] or a [PlatformException] of this plugin
/// may carry. What each means and what to do is in the repository's
/// `docs/errors.md`.
class VpnErrorCodes {
  VpnErrorCodes._();

  /// The request held a configuration path key; the service builds the
  /// configuration itself.
  static const String forbiddenPath = 'forbidden_path';

  /// The operation is not one the service knows.
  static const String unknownOp = 'unknown_op';

  /// The service could not tell which user sent the request.
  static const String callerUnidentified = 'caller_unidentified';

  /// The connect's session nonce is not the one this user registered.
  static const String sessionMismatch = 'session_mismatch';

  /// The profile (or, as a [PlatformException], the channel's profile
  /// argument) cannot be used; the message names the field.
  static const String invalidProfile = 'invalid_profile';

  /// The tunnel belongs to another user until it goes down.
  static const String tunnelOwnedByAnotherUser = 'tunnel_owned_by_another_user';

  /// This user has a change waiting for its turn already.
  static const String changeInProgress = 'change_in_progress';

  /// The service is stopping; no change starts now.
  static const String serviceStopping = 'service_stopping';

  /// Two clients wait for changes already.
  static const String watchersBusy = 'watchers_busy';

  /// Others may write where the service runs from; nothing is run from there.
  static const String programFolderUnsafe = 'program_folder_unsafe';

  /// The safe-mode settings could not be read.
  static const String envReadFailed = 'poc_env_read_failed';

  /// The route guard refused the connect.
  static const String routeGuardFailed = 'poc_route_guard_failed';

  /// The administrators' host routes could not be put in place.
  static const String adminBypassFailed = 'admin_bypass_failed';

  /// The configuration could not be written.
  static const String configWriteFailed = 'config_write_failed';

  /// The tunnel service could not be started, or did not run.
  static const String tunnelStartFailed = 'tunnel_start_failed';

  /// The tunnel service would not stop.
  static const String tunnelStopFailed = 'tunnel_stop_failed';

  /// In safe mode the tunnel took the default route, and was taken down.
  static const String defaultRouteDetected = 'poc_default_route_detected';

  /// No service serves the pipe: it does not run.
  static const String pipeUnavailable = 'pipe_unavailable';

  /// The service stayed busy for 10 s.
  static const String pipeBusy = 'pipe_busy';

  /// The pipe's access list does not admit this user.
  static const String pipeAccessDenied = 'pipe_access_denied';

  /// The request could not be written.
  static const String pipeWriteFailed = 'pipe_write_failed';

  /// No reply could be read.
  static const String pipeReadFailed = 'pipe_read_failed';

  /// Another process holds the pipe's name; nothing was sent to it.
  static const String pipeServerUntrusted = 'pipe_server_untrusted';

  /// (PlatformException) A method that needs arguments got none, or not a map.
  static const String invalidArgs = 'invalid_args';

  /// (PlatformException) `connect` without a profile.
  static const String missingProfile = 'missing_profile';

  /// (PlatformException) A window call before the plugin knows its window.
  static const String noWindow = 'no_window';

  /// (PlatformException) The plugin could not make the thread its watches run on.
  static const String watchUnavailable = 'watch_unavailable';
}

/// A VPN profile, with the fields and types of the IPC channel.
class VpnProfile {
  /// A profile; [nodeId] and [clientPrivateKey] are required by the service.
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


  /// The node (server) this profile connects to; required.
  final String nodeId;

  /// This device's WireGuard private key (base64, 32 bytes); required. It goes to the service alone, never to a pipe the service does not own.
  final String clientPrivateKey;

  /// The server's WireGuard public key (base64, 32 bytes).
  final String serverPublicKey;

  /// The tunnel address(es) of this device with their prefix, comma separated (`10.8.0.2/32`).
  final String addressCidr;

  /// The server's host name or address.
  final String endpointHost;

  /// The server's UDP port.
  final int endpointPort;

  /// DNS servers inside the tunnel (at most 16).
  final List<String> dns;

  /// The ranges routed into the tunnel (at most 256 entries).
  final List<String> allowedIps;

  /// This device's identifier at the server, if it has one.
  final String? deviceId;

  /// A name for people.
  final String? displayName;

  /// This device's WireGuard public key, if known.
  final String? clientPublicKey;

  /// An optional WireGuard pre-shared key (base64, 32 bytes).
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
  /// A reply made of its parts (tests and fakes of an app's own).
  const ServiceReply({
    required this.ok,
    required this.raw,
    this.phase,
    this.error,
    this.message,
    this.generation,
    this.nodeId,
    this.tunnelRunning,
    this.connectedSince,
  });

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
    final Object? since = reply['connected_since_utc'];
    return ServiceReply(
      ok: map['ok'] == true,
      raw: raw,
      phase: map['phase'] is String ? map['phase'] as String : null,
      error: reply['error'] is String ? reply['error'] as String : null,
      message: reply['message'] is String ? reply['message'] as String : null,
      generation: reply['generation'] is int ? reply['generation'] as int : null,
      nodeId: reply['node_id'] is String ? reply['node_id'] as String : null,
      tunnelRunning: reply['tunnel_running'] is bool ? reply['tunnel_running'] as bool : null,
      connectedSince: since is String ? DateTime.tryParse(since) : null,
    );
  }

  /// Whether the service (or the plugin's client) said yes.
  final bool ok;

  /// The reply's JSON text as it came, with the reports the typed members
  /// leave out (`admin_bypass`, `poc_route_guard`).
  final String raw;

  /// The phase as the service wrote it; [vpnPhase] is the same, typed.
  final String? phase;

  /// The error code when [ok] is false: one of [VpnErrorCodes].
  final String? error;

  /// What the service says more: why a connect failed, or why the tunnel
  /// went down when nobody asked (it ended by itself, its owner logged off).
  final String? message;

  /// A status's place in the service's changes: it grows with every change
  /// a status shows. Null on replies that are not statuses.
  final int? generation;

  /// The node of the tunnel that runs or starts, when there is one.
  final String? nodeId;

  /// Whether the tunnel service runs (statuses only).
  final bool? tunnelRunning;

  /// When the tunnel that runs was brought up (statuses of a tunnel this
  /// service started only).
  final DateTime? connectedSince;

  /// The phase, typed: [VpnPhase.unknown] for none or one this plugin does
  /// not know.
  VpnPhase get vpnPhase => parseVpnPhase(phase);
}

/// The client of QuorvaneVpnService. Calls on the plugin never block the
/// window: each answers when the service has.
class QuorvaneVpnClient {
  /// A client on the plugin's IPC channel ([channel] for tests).
  QuorvaneVpnClient({MethodChannel? channel}) : _channel = channel ?? const MethodChannel(ipcChannelName);

  final MethodChannel _channel;

  /// Registers this UI session's nonce for the user running the app: a
  /// random text the app makes once a start (say 32 random bytes in
  /// base64) and keeps in memory. Every later [connect] must carry the same
  /// nonce, so that another process of the same user cannot connect with
  /// its own profile in this session's name. An empty nonce clears the
  /// registration; a user who never registers is not asked for one.
  Future<ServiceReply> registerSession(String sessionNonce) =>
      _call('registerSession', <String, Object>{'session_nonce': sessionNonce});

  /// The service's state now: [ServiceReply.vpnPhase], [ServiceReply.nodeId],
  /// [ServiceReply.tunnelRunning]. Prefer [statusChanges] to polling this.
  Future<ServiceReply> status() => _call('status', null);

  /// Brings the tunnel up with [profile]; [sessionNonce] is the one given to
  /// [registerSession] (empty when none was). Answers once the tunnel runs,
  /// or with the reason it does not ([ServiceReply.error]).
  Future<ServiceReply> connect({required String sessionNonce, required VpnProfile profile}) =>
      _call('connect', <String, Object>{'session_nonce': sessionNonce, 'profile': profile.toMap()});

  /// Takes the tunnel down; [reason] is logged by nobody, sent for the record.
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
  /// The one instance: the window channel has one handler, so every part of
  /// the app listens to this instance's streams.
  factory QuorvaneWindow() => instance;

  QuorvaneWindow._(this._channel) {
    _channel.setMethodCallHandler(_onCall);
  }

  /// A window object on another channel, for tests.
  @visibleForTesting
  QuorvaneWindow.forChannel(MethodChannel channel) : this._(channel);

  /// The one instance on the plugin's window channel.
  static final QuorvaneWindow instance = QuorvaneWindow._(const MethodChannel(windowChannelName));

  final MethodChannel _channel;
  final StreamController<void> _closeRequested = StreamController<void>.broadcast();
  final StreamController<void> _existingInstanceActivate = StreamController<void>.broadcast();

  /// The user closed the window: answer with [minimizeToBackground] or
  /// [completeClose]. While nothing listens here, closes are not held: the
  /// window closes at the user's second try at the latest.
  Stream<void> get onCloseRequested => _closeRequested.stream;

  /// A second start of the application brought this window forward.
  Stream<void> get onExistingInstanceActivate => _existingInstanceActivate.stream;

  /// What the runner's single-instance start found.
  Future<SingleInstanceDiagnostics> getSingleInstanceDiagnostics() async => SingleInstanceDiagnostics.fromMap(
      await _channel.invokeMethod<Map<Object?, Object?>>('getSingleInstanceDiagnostics') ?? <Object?, Object?>{});

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

  /// Stops answering the window channel and closes the streams, for every
  /// listener: for an app that ends, or a test.
  void dispose() {
    _channel.setMethodCallHandler(null);
    _closeRequested.close();
    _existingInstanceActivate.close();
  }
}

/// What the runner's single-instance start found (the named mutex
/// `Local\QuorvaneVpnClientSingleInstance`).
class SingleInstanceDiagnostics {
  /// The diagnostics of their parts.
  const SingleInstanceDiagnostics({
    required this.enabled,
    required this.isPrimary,
    required this.mutexName,
    required this.activateExistingWindowSupported,
    this.error,
  });

  /// Reads the map the window channel answers with.
  factory SingleInstanceDiagnostics.fromMap(Map<Object?, Object?> map) => SingleInstanceDiagnostics(
        enabled: map['single_instance_enabled'] == true,
        isPrimary: map['single_instance_is_primary'] == true,
        mutexName: map['single_instance_mutex_name'] is String ? map['single_instance_mutex_name'] as String : '',
        activateExistingWindowSupported: map['activate_existing_window_supported'] == true,
        error: map['single_instance_error'] is String ? map['single_instance_error'] as String : null,
      );

  /// The mutex exists: single-instance handling is on.
  final bool enabled;

  /// This process's start claimed the mutex: it is the first instance.
  final bool isPrimary;

  /// The mutex's name.
  final String mutexName;

  /// A second start can bring this window forward.
  final bool activateExistingWindowSupported;

  /// Why the mutex could not be looked at, if it could not.
  final String? error;
}
