#!/usr/bin/env bash
# The top-level Makefile on a fresh machine without Ninja: tools/install-deps
# installs it, and every build folder must then be configured for it, since
# CMake refuses to reconfigure a folder for another generator and every later
# make, Ninja found, would fail. Runs `make build` and `make fuzz-build` with
# stand-ins for install-deps (which "installs" a stand-in ninja) and cmake
# (which records its arguments and makes the profile programs).
#   MakefileTest.sh <path of the Makefile>
set -u
makefile=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Only what the Makefile's recipes use besides the stand-ins, so that the
# machine's own ninja and cmake stay out of reach.
bin=$work/bin
mkdir -p "$bin"
for tool in make sh bash rm mkdir chmod cat; do ln -s "$(command -v "$tool")" "$bin/$tool"; done

stand_in() {  # path, body
  printf '#!%s\n%s\n' "$(command -v bash)" "$2" >"$1"
  chmod +x "$1"
}

case_no=0
run() {  # make's target; sets $log to the cmake calls
  case_no=$((case_no + 1))
  local clone=$work/clone$case_no
  mkdir -p "$clone/tools"
  cp "$makefile" "$clone/Makefile"
  rm -f "$bin/ninja"
  stand_in "$clone/tools/install-deps" "[[ -e $bin/ninja ]] || printf '#!/bin/sh\n' >$bin/ninja; chmod +x $bin/ninja"
  stand_in "$bin/cmake" 'echo "cmake $*" >>"$LOG"
    if [[ $1 == --build && $2 == build/profile ]]; then
      mkdir -p build/profile/simulator build/profile/bench
      for p in simulator/simulator bench/baseline_simulator; do
        printf "#!/bin/sh\n" >build/profile/$p; chmod +x build/profile/$p
      done
    fi'
  LOG=$work/log$case_no
  : >"$LOG"
  out=$(cd "$clone" && env -i PATH="$bin" LOG="$LOG" make JOBS=1 "$1" 2>&1)
  local status=$?
  [[ $status == 0 ]] || fail "make $1: status $status; output: $out"
  log=$(cat "$LOG")
}

for target in build fuzz-build; do
  run "$target"
  configures=$(grep -c -- '^cmake -S' <<<"$log")
  with_ninja=$(grep -c -- '^cmake -S .* -G Ninja ' <<<"$log")
  ((configures > 0 && configures == with_ninja)) ||
    fail "make $target: a build folder configured without the Ninja just installed: $log"
done

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all Makefile cases passed"
