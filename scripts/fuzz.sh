#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer), replays every seed corpus as a regression run, then fuzzes each
# target in turn for SECONDS (default 60). Names after SECONDS pick targets (reader for
# fuzz/reader_fuzz.cpp); without them every target runs.
#
#   scripts/fuzz.sh [SECONDS [NAME...]]
#
# New inputs go to build/fuzz/work/NAME (the seed corpus in fuzz/corpus/NAME stays as committed),
# crashes to build/fuzz/artifacts/NAME/. Copy an input worth keeping into fuzz/corpus/NAME by hand.
set -euo pipefail
seconds=${1:-60}
shift || true
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

cmake --preset fuzz >/dev/null
if [ $# -gt 0 ]; then
  cmake --build build/fuzz -j2 --target $(printf '%s_fuzz ' "$@")
  targets=()
  for name in "$@"; do targets+=("build/fuzz/fuzz/${name}_fuzz"); done
else
  cmake --build --preset fuzz -j2
  targets=(build/fuzz/fuzz/*_fuzz)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

if [ ! -e "${targets[0]}" ]; then
  echo "fuzz: no targets built" >&2
  exit 1
fi

summary=()
for target in "${targets[@]}"; do
  name=$(basename "$target" _fuzz)
  corpus=fuzz/corpus/$name
  dict=fuzz/dict/$name.dict
  work=build/fuzz/work/$name
  artifacts=build/fuzz/artifacts/$name
  mkdir -p "$work" "$artifacts"
  options=(-artifact_prefix="$artifacts/" -timeout=25)
  [ -f "$dict" ] && options+=(-dict="$dict")

  if [ -d "$corpus" ] && [ -n "$(ls -A "$corpus")" ]; then
    echo "fuzz: $name: replaying $corpus"
    "$target" "${options[@]}" "$corpus"/* 2>&1 | tail -n 3
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz: $name: a seed input fails" >&2; exit 1; }
  else
    echo "fuzz: $name: no seed corpus in $corpus" >&2
    corpus=
  fi

  echo "fuzz: $name: fuzzing for ${seconds}s"
  "$target" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 "$work" ${corpus:+"$corpus"} \
    2>&1 | tee "$work.log" | grep -E '^(stat::|INFO: |==|SUMMARY)' | grep -v '^INFO: Running with' || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz: $name: a crash or a failed check; see $artifacts" >&2; exit 1; }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log" | tail -n 1)
  summary+=("$name: ${runs:-?} inputs in ${seconds}s")
done
echo "fuzz: every target ran clean"
for line in "${summary[@]}"; do echo "fuzz: $line"; done
