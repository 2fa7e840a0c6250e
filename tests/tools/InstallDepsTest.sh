#!/usr/bin/env bash
# tools/install-deps against stand-ins for dpkg-query, apt-get, id and sudo
# that record how they were called: nothing installed when everything is
# present, exactly the missing packages otherwise (directly as root, through
# sudo otherwise), and clear failures without apt-get or without sudo.
#   InstallDepsTest.sh <path of tools/install-deps>
set -u
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A folder of programs that holds only what the script may use besides the
# stand-ins, so that the machine's own apt-get and sudo stay out of reach.
bin=$work/bin
mkdir -p "$bin"
for tool in bash env mktemp rm cat; do ln -s "$(command -v "$tool")" "$bin/$tool"; done

stand_in() {  # name, body
  printf '#!%s\n%s\n' "$(command -v bash)" "$2" >"$bin/$1"
  chmod +x "$bin/$1"
}
# dpkg-query answers from the list of installed packages in $INSTALLED and
# those apt-get installed in this case. apt-get records its calls; installing
# clang puts a clang of version $NEW_CLANG in place.
stand_in dpkg-query 'p=${@: -1}; for i in $INSTALLED $(cat "$LOG.installed" 2>/dev/null); do [[ $i == "$p" ]] && { printf "install ok installed"; exit 0; }; done; echo "dpkg-query: no packages found matching $p" >&2; exit 1'
stand_in apt-get 'echo "apt-get $*" >>"$LOG"; [[ ${APT_FAILS_FIRST:-} == 1 && ! -e $LOG.updated && $1 == install ]] && exit 100; [[ $1 == update ]] && : >"$LOG.updated"
[[ $1 == install ]] && for p in "$@"; do echo "$p" >>"$LOG.installed"; [[ $p == clang ]] && { printf "#!%s\necho %s\n" "$BASH" "$NEW_CLANG" >"${0%/*}/clang"; '"$(command -v chmod)"' +x "${0%/*}/clang"; }; done; exit 0'
stand_in id 'echo "${UID_SEEN:-0}"'
stand_in sudo 'echo "sudo $*" >>"$LOG"; exec "$@"'

all="cmake ninja-build make g++ libgtest-dev libgmock-dev libbenchmark-dev libboost-dev nlohmann-json3-dev"
case_no=0
run() {  # expected status, then the script's arguments; sets $out and $log
  case_no=$((case_no + 1))
  LOG=$work/log$case_no
  : >"$LOG"
  out=$(env -i PATH="$bin" LOG="$LOG" INSTALLED="$INSTALLED" UID_SEEN="${UID_SEEN:-0}" \
        APT_FAILS_FIRST="${APT_FAILS_FIRST:-}" NEW_CLANG="${NEW_CLANG:-}" "$bin/bash" "$script" "${@:2}" 2>&1)
  status=$?
  log=$(cat "$LOG")
  [[ $status == "$1" ]] || fail "case $case_no: status $status, expected $1; output: $out"
}

# Everything present: silent, nothing run.
INSTALLED="$all" run 0
[[ -z $out && -z $log ]] || fail "all present: output '$out', calls '$log'"

# Two missing, as root: one line naming them, one apt-get install of exactly them.
INSTALLED="cmake ninja-build make g++ libgtest-dev libgmock-dev libbenchmark-dev" run 0
[[ $out == "install-deps: installing libboost-dev nlohmann-json3-dev" ]] || fail "root: output '$out'"
[[ $log == "apt-get install -y -q --no-install-recommends libboost-dev nlohmann-json3-dev" ]] ||
  fail "root: calls '$log'"

# Not root: the same through sudo.
UID_SEEN=1000 INSTALLED="cmake ninja-build make g++ libgtest-dev libgmock-dev libbenchmark-dev libboost-dev" run 0
[[ $log == "sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nlohmann-json3-dev"$'\n'"apt-get install -y -q --no-install-recommends nlohmann-json3-dev" ]] ||
  fail "sudo: calls '$log'"

# Stale package lists: the first install fails, the lists are read again.
APT_FAILS_FIRST=1 INSTALLED="${all/ make/}" run 0
[[ $log == *"apt-get install -y -q --no-install-recommends make"$'\n'"apt-get update -q"$'\n'"apt-get install"* ]] ||
  fail "stale lists: calls '$log'"

# Another set is checked on its own. The fuzzer runtimes' package is the one
# of the clang there is, and of a clang installed just now.
stand_in clang 'echo 14.0.6'
INSTALLED="$all clang" run 0 fuzz
[[ $log == "apt-get install -y -q --no-install-recommends libclang-rt-14-dev" ]] || fail "fuzz set: calls '$log'"
stand_in clang 'echo 19.1.7'
INSTALLED="$all clang" run 0 fuzz
[[ $log == "apt-get install -y -q --no-install-recommends libclang-rt-19-dev" ]] || fail "clang 19: calls '$log'"
rm "$bin/clang"
NEW_CLANG=16.0.6 INSTALLED="${all/ make/}" run 0 build fuzz
[[ $log == "apt-get install -y -q --no-install-recommends make clang"$'\n'"apt-get install -y -q --no-install-recommends libclang-rt-16-dev" ]] ||
  fail "clang installed first: calls '$log'"
[[ $out == "install-deps: installing make clang"$'\n'"install-deps: installing libclang-rt-16-dev" ]] ||
  fail "clang installed first: output '$out'"
rm -f "$bin/clang"
INSTALLED="" run 2 nonsense
[[ $out == *"unknown package set 'nonsense'"* ]] || fail "unknown set: output '$out'"

# No apt-get: the missing packages named, status 1, nothing run.
rm "$bin/apt-get"
INSTALLED="${all/ libgtest-dev/}" run 1
[[ $out == "install-deps: missing packages: libgtest-dev; this machine has no apt-get,"* ]] ||
  fail "no apt-get: output '$out'"

# apt-get there but neither root nor sudo: says what to run as root.
stand_in apt-get 'echo "apt-get $*" >>"$LOG"'
rm "$bin/sudo"
UID_SEEN=1000 INSTALLED="${all/ g++/}" run 1
[[ $out == *"missing packages: g++; installing them needs root and there is no sudo: run 'apt-get install g++' as root" ]] ||
  fail "no sudo: output '$out'"
[[ -z $log ]] || fail "no sudo: calls '$log'"

# No dpkg at all: cannot tell, says so, leaves it to the build.
rm "$bin/dpkg-query"
INSTALLED="" run 0
[[ $out == "install-deps: no dpkg here, so the packages cannot be checked;"* ]] || fail "no dpkg: output '$out'"

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all install-deps cases passed"
