#!/usr/bin/env bash
# Fetches the tree-sitter Dart grammar (the npm package's C sources) into
# build/dart-grammar, once: the test command checks the plugin's Dart with it,
# since no Dart SDK can be installed here.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
target="build/dart-grammar"
[ -f "$target/package/src/parser.c" ] && exit 0
mkdir -p "$target"
( cd "$target" && npm pack --silent tree-sitter-dart@1.0.0 >/dev/null && tar xzf tree-sitter-dart-1.0.0.tgz )
