#!/bin/sh
# Installs the library component of a build into a prefix inside it, then
# configures, builds and runs the example consumer (examples/cpp) against
# that installed copy, as a user's project would find it.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR [CXX_FLAGS]
# CXX_FLAGS are the build's own, so that a consumer of a sanitizer build's
# library links the sanitizer's runtime too.
set -eu
build=$(cd "$1" && pwd)
source=$2
flags=${3:-}
work=$build/consumer-test
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" --component library
cmake -S "$source/examples/cpp" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/build"
"$work/build/fit_hg"
