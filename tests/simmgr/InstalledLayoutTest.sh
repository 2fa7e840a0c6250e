#!/usr/bin/env bash
# `cmake --install` puts both programs in <prefix>/bin, and the installed
# simmgr runs the installed simulator beside it with no PATH help.
#   InstalledLayoutTest.sh <cmake> <build folder>
set -eu
cmake=$1
build=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
ls "$prefix/bin" | sort | tr '\n' ' ' | grep -qx 'simmgr simulator ' ||
  { echo "FAIL: installed programs: $(ls "$prefix/bin")"; exit 1; }

version=$("$prefix/bin/simmgr" --version)
[[ $version == "simmgr "[0-9]*.[0-9]*.[0-9]* ]] || { echo "FAIL: --version said '$version'"; exit 1; }
usage=$("$prefix/bin/simulator" 2>&1 || true)
[[ $usage == *$'\n'"simulator ${version#simmgr }"$'\n'* ]] ||
  { echo "FAIL: the simulator's usage does not end with its version"; exit 1; }

cd "$prefix"
env -i PATH=/usr/bin:/bin "$prefix/bin/simmgr" --experiments 2 --replications 20 --port 21500 \
  --out "$prefix/out" >/dev/null 2>&1 || { echo "FAIL: the installed simmgr did not run"; exit 1; }
grep -q "\"simulator\": \"$prefix/bin/simulator\"" "$prefix/out/results.json" ||
  { echo "FAIL: results.json does not name the installed simulator"; exit 1; }
echo "installed layout works"
