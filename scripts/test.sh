#!/usr/bin/env bash
# Builds and tests everything: installs what is missing, then the native build, the native build
# under AddressSanitizer and UndefinedBehaviorSanitizer, the native build under ThreadSanitizer
# (every native test once more), and the Windows build, whose test programs
# run under Wine on a virtual display of their own. Ends with "N passed, M failed" and a non-zero
# exit status when anything failed.
#
#   scripts/test.sh                 everything
#   scripts/test.sh --native        only the native build and its tests (likewise --asan, --tsan,
#                                   --fuzz, --windows; the flags combine)
#   scripts/test.sh --skip-setup    do not run scripts/setup.sh
#
# Environment: VEDO_JOBS (build jobs, default 2), VEDO_CACHE (default ~/.cache/vedo),
# VEDO_WINEPREFIX (default $VEDO_CACHE/wine).
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

jobs=${VEDO_JOBS:-2}
cache=${VEDO_CACHE:-$HOME/.cache/vedo}
logs="$here/build/test-logs"

runNative=0 runAsan=0 runTsan=0 runFuzz=0 runWindows=0 runSetup=1
for arg in "$@"; do
  case "$arg" in
    --native|--native-only) runNative=1 ;;
    --asan|--asan-only) runAsan=1 ;;
    --tsan|--tsan-only) runTsan=1 ;;
    --fuzz|--fuzz-only) runFuzz=1 ;;
    --windows|--windows-only) runWindows=1 ;;
    --skip-setup) runSetup=0 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
if [ $((runNative + runAsan + runTsan + runFuzz + runWindows)) -eq 0 ]; then
  runNative=1 runAsan=1 runTsan=1 runFuzz=1 runWindows=1
fi

mkdir -p "$logs"
started=$(date +%s)
passed=0
failed=0
summary=()

elapsed() { echo "$(( $(date +%s) - $1 ))s"; }

# Runs one step with its output in a log file; shows the log's end when the step fails.
step() {
  local name=$1; shift
  local log="$logs/$name.log" t0
  t0=$(date +%s)
  echo "== $name"
  if "$@" >"$log" 2>&1; then
    summary+=("ok      $name ($(elapsed "$t0"))")
    return 0
  fi
  echo "-- $name failed; the end of $log:"
  tail -n 60 "$log"
  summary+=("FAILED  $name ($(elapsed "$t0"), log: ${log#"$here"/})")
  failed=$((failed + 1))
  return 1
}

# Runs a CTest preset with its output shown, and adds its counts to the totals.
testStep() {
  local name=$1; shift
  local log="$logs/$name.log" t0 line total bad status
  t0=$(date +%s)
  echo "== $name"
  "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  else
    bad=0 total=0
  fi
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$status" -eq 0 ] && [ "$total" -gt 0 ]; then
    summary+=("ok      $name: $total tests ($(elapsed "$t0"))")
    return 0
  fi
  if [ "$total" -eq 0 ]; then
    summary+=("FAILED  $name: no test ran ($(elapsed "$t0"))")
  else
    summary+=("FAILED  $name: $bad of $total tests failed ($(elapsed "$t0"))")
  fi
  # A run that failed without a failing test (a crash of ctest, no tests) still counts once.
  [ "$bad" -eq 0 ] && failed=$((failed + 1))
  return 1
}

configurePreset() {
  cmake --preset "$1"
}

# Keeps going past a target that fails, so that the tests of everything else still run.
buildPreset() {
  cmake --build --preset "$1" -j"$jobs" -- -k 0
}

# Every .exe must stand alone: only system DLLs, no mingw runtime DLL beside it.
checkStaticImports() {
  local exe dlls bad=0 count=0
  while IFS= read -r exe; do
    count=$((count + 1))
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "$exe: $(tr '\n' ' ' <<<"$dlls")"
    if grep -Eiq '^lib|pthread|stdc\+\+|gcc' <<<"$dlls"; then
      echo "  imports a runtime DLL"
      bad=1
    fi
    # The programs speak TLS through SChannel; the OpenSSL of the test server stays out of them.
    case "$(basename "$exe")" in
      vedo.exe | vedo-cli.exe)
        if grep -aqi 'openssl' "$exe"; then
          echo "  holds OpenSSL code"
          bad=1
        fi
        ;;
    esac
  done < <(find build/windows -name '*.exe' -not -path '*/CMakeFiles/*' | sort)
  [ "$count" -gt 0 ] || { echo "no .exe found"; return 1; }
  return $bad
}

xvfbPid=
winePrefix=
cleanUp() {
  if [ -n "$winePrefix" ]; then
    WINEPREFIX=$winePrefix wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "$xvfbPid" ]; then
    kill "$xvfbPid" 2>/dev/null || true
    wait "$xvfbPid" 2>/dev/null || true
  fi
}
trap cleanUp EXIT
trap 'exit 130' INT TERM

# A display of our own, so that Wine's desktop process starts with one.
startDisplay() {
  local n
  for n in $(seq 90 150); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 2720x1600x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
    xvfbPid=$!
    for _ in $(seq 1 50); do
      if [ -e "/tmp/.X11-unix/X$n" ]; then
        export DISPLAY=":$n"
        return 0
      fi
      kill -0 "$xvfbPid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$xvfbPid" 2>/dev/null
    wait "$xvfbPid" 2>/dev/null
    xvfbPid=
  done
  echo "cannot start Xvfb"
  return 1
}

prepareWine() {
  startDisplay || return 1
  echo "display $DISPLAY, prefix $WINEPREFIX"
  # A wine server of this prefix that was started without our display would serve the tests
  # without one.
  wineserver -k >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init || return 1
    wineserver -w
  fi
}

# One out-of-memory rule: every allocation goes through core/allocate.h (or a standard container),
# so the C allocators and a nothrow new appear in no tracked source but the allocator's own file.
# Lines that are only a comment are passed over.
checkAllocations() {
  local found
  found=$(git grep -nE '\b(malloc|calloc|realloc)\b|new *\( *std::nothrow *\)' \
    -- '*.c' '*.cpp' '*.h' '*.inc' ':!core/allocate.cpp' | grep -vE '^[^:]+:[0-9]+:[[:space:]]*//')
  [ -z "$found" ] && return 0
  echo "allocations outside core/allocate.cpp (use allocateBytes, allocateZeroed, reallocateBytes):"
  echo "$found"
  return 1
}
step allocations checkAllocations

if [ "$runSetup" -eq 1 ]; then
  step setup "$here/scripts/setup.sh"
fi

if [ "$runNative" -eq 1 ] && step native-configure configurePreset native; then
  step native-build buildPreset native
  testStep native-tests ctest --preset native
fi

if [ "$runAsan" -eq 1 ] && step asan-configure configurePreset asan; then
  step asan-build buildPreset asan
  testStep asan-tests ctest --preset asan
fi

# The threads of a run (the job, its download workers, the front end's progress) under
# ThreadSanitizer: every native test.
if [ "$runTsan" -eq 1 ] && step tsan-configure configurePreset tsan; then
  step tsan-build buildPreset tsan
  testStep tsan-tests ctest --preset tsan
fi

# Every fuzz target replays its seed corpus as a regression run, then fuzzes for VEDO_FUZZ_SECONDS
# (default 60) under AddressSanitizer and UndefinedBehaviorSanitizer.
if [ "$runFuzz" -eq 1 ]; then
  if step fuzz "$here/scripts/fuzz.sh" "${VEDO_FUZZ_SECONDS:-60}"; then
    passed=$((passed + 1))
    grep -E '^fuzz: .*inputs in' "$logs/fuzz.log" | sed 's/^/   /'
  fi
fi

if [ "$runWindows" -eq 1 ] && step windows-configure configurePreset windows; then
  step windows-build buildPreset windows
  step windows-static-imports checkStaticImports
  winePrefix=${VEDO_WINEPREFIX:-$cache/wine}
  export WINEPREFIX=$winePrefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
  if step wine-prefix prepareWine; then
    testStep windows-tests ctest --preset windows
  fi
fi

echo
echo "== summary ($(elapsed "$started"))"
for line in "${summary[@]}"; do echo "$line"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
