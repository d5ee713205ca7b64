#!/bin/sh
# Installs the library component of a build into a prefix inside it, then
# configures, builds and runs the example consumer (examples/cpp) against
# that installed copy, as a user's project would find it.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$(cd "$1" && pwd)
source=$2
work=$build/consumer-test
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" --component library
cmake -S "$source/examples/cpp" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build"
"$work/build/fit_hg"
