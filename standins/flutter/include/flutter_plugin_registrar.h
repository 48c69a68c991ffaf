// Stand-in for the Flutter engine's C header of the same name: only the
// registrar handle type that plugins receive.
#ifndef FLUTTER_PLUGIN_REGISTRAR_H_
#define FLUTTER_PLUGIN_REGISTRAR_H_

typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;

#endif  // FLUTTER_PLUGIN_REGISTRAR_H_
