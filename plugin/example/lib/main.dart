// An example application of the quorvane_windows_vpn package: status,
// connect and disconnect through the typed client, and the window's events.
import 'dart:async';

import 'package:flutter/material.dart';
import 'package:quorvane_windows_vpn/quorvane_windows_vpn.dart';

void main() {
  runApp(const ExampleApp());
}

class ExampleApp extends StatefulWidget {
  const ExampleApp({super.key});

  @override
  State<ExampleApp> createState() => _ExampleAppState();
}

class _ExampleAppState extends State<ExampleApp> {
  final QuorvaneVpnClient _client = QuorvaneVpnClient();
  final QuorvaneWindow _window = QuorvaneWindow();
  final List<StreamSubscription<void>> _subscriptions = <StreamSubscription<void>>[];
  final GlobalKey<ScaffoldMessengerState> _messenger = GlobalKey<ScaffoldMessengerState>();
  String _state = 'unknown';
  DateTime? _lastCloseRequest;
  static const String _nonce = 'example-session';
  static const Duration _secondCloseWithin = Duration(seconds: 5);

  @override
  void initState() {
    super.initState();
    _subscriptions.add(_window.onCloseRequested.listen((_) => _onCloseRequested()));
    _subscriptions.add(_window.onExistingInstanceActivate.listen((_) => _refresh()));
    _client.registerSession(_nonce).then((_) => _refresh());
  }

  @override
  void dispose() {
    for (final StreamSubscription<void> subscription in _subscriptions) {
      subscription.cancel();
    }
    _window.dispose();
    super.dispose();
  }

  // The first close keeps the tunnel's window in the background; a second one
  // soon after, or Quit, ends the application.
  Future<void> _onCloseRequested() async {
    final DateTime now = DateTime.now();
    final DateTime? last = _lastCloseRequest;
    _lastCloseRequest = now;
    if (last != null && now.difference(last) < _secondCloseWithin) {
      await _window.completeClose();
      return;
    }
    _messenger.currentState?.showSnackBar(
      const SnackBar(content: Text('Still running in the background. Close again to quit.')),
    );
    await _window.minimizeToBackground();
  }

  Future<void> _refresh() async {
    final ServiceReply reply = await _client.status();
    setState(() => _state = reply.ok ? (reply.phase ?? 'unknown') : (reply.error ?? 'error'));
  }

  Future<void> _connect() async {
    const VpnProfile profile = VpnProfile(
      nodeId: 'node-1',
      clientPrivateKey: 'Y2xpZW50LXByaXZhdGUta2V5LWZvci1kZW1vLW9ubHk=',
      serverPublicKey: 'c2VydmVyLXB1YmxpYy1rZXktZm9yLWRlbW8tb25seSE=',
      addressCidr: '10.66.0.2/32',
      endpointHost: 'vpn.example.net',
      endpointPort: 51820,
      dns: <String>['10.66.0.1'],
      allowedIps: <String>['10.66.0.0/24'],
    );
    final ServiceReply reply = await _client.connect(sessionNonce: _nonce, profile: profile);
    setState(() => _state = reply.ok ? 'connected' : '${reply.error}: ${reply.message ?? ''}');
  }

  Future<void> _disconnect() async {
    await _client.disconnect();
    await _refresh();
  }

  @override
  Widget build(BuildContext context) {
    return MaterialApp(
      scaffoldMessengerKey: _messenger,
      home: Scaffold(
        appBar: AppBar(title: const Text('Quorvane VPN')),
        body: Center(
          child: Column(
            mainAxisAlignment: MainAxisAlignment.center,
            children: <Widget>[
              Text('State: $_state'),
              ElevatedButton(onPressed: _connect, child: const Text('Connect')),
              ElevatedButton(onPressed: _disconnect, child: const Text('Disconnect')),
              TextButton(onPressed: _window.completeClose, child: const Text('Quit')),
            ],
          ),
        ),
      ),
    );
  }
}
