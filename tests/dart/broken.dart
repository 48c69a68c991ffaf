// Deliberately broken Dart: the syntax check must refuse this file.
class Broken {
  void f( {
}
