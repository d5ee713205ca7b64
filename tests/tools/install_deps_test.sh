#!/usr/bin/env bash
# tools/install-deps against fake dpkg-query, id, sudo and apt-get: which
# packages it finds missing, and whether it installs them (as root or
# through sudo), prints the command to run, or leaves the machine alone.
set -euo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/tools/install-deps
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT

cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/sh
for pkg in $FAKE_INSTALLED; do
  [ "$pkg" = "$3" ] && { echo 'install ok installed'; exit 0; }
done
exit 1
FAKE
cat >"$fake/id" <<'FAKE'
#!/bin/sh
echo "$FAKE_UID"
FAKE
cat >"$fake/sudo" <<'FAKE'
#!/bin/sh
[ "$FAKE_SUDO" = yes ] || exit 1
shift
[ "$1" = true ] && exit 0
echo "sudo $*" >>"$FAKE_LOG"
FAKE
cat >"$fake/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
FAKE
chmod +x "$fake"/*
export FAKE_LOG=$fake/log PATH="$fake:/usr/bin:/bin"

all="cmake make g++ python3 python3-numpy python3-matplotlib python3-xarray python3-netcdf4 pybind11-dev python3-pybind11 python3-dev libgtest-dev libgmock-dev liblapack-dev netcdf-bin python3-pytest"
failures=0
# check NAME INSTALLED UID SUDO WANT_STATUS WANT_LOG WANT_STDERR_PATTERN
check() {
  : >"$FAKE_LOG"
  local status=0 err
  err=$(FAKE_INSTALLED=$2 FAKE_UID=$3 FAKE_SUDO=$4 "$script" test 2>&1 >/dev/null) || status=$?
  local log
  log=$(cat "$FAKE_LOG")
  if [ "$status" != "$5" ] || [ "$log" != "$6" ] || ! grep -q -- "$7" <<<"$err$log"; then
    echo "FAILED: $1: status $status, apt log '$log', stderr '$err'"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}
check "nothing missing, not root" "$all" 1000 no 0 "" ""
check "nothing missing, root" "$all" 0 yes 0 "" ""
check "root installs what is missing" "cmake make g++ python3" 0 no 0 \
  "apt-get update -q
apt-get install -y -q --no-install-recommends python3-numpy python3-matplotlib python3-xarray python3-netcdf4 pybind11-dev python3-pybind11 python3-dev libgtest-dev libgmock-dev liblapack-dev netcdf-bin python3-pytest" \
  "installing missing"
check "sudo installs what is missing" "${all% python3-pytest}" 1000 yes 0 \
  "sudo apt-get update -q
sudo apt-get install -y -q --no-install-recommends python3-pytest" "python3-pytest"
check "neither: the command to run, exit 2" "${all% python3-pytest}" 1000 no 2 "" \
  "install them as root with: apt-get update && apt-get install -y --no-install-recommends python3-pytest"
echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
