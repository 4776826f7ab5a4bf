#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset) and runs each for SMOKE_SECONDS (default 30) on a
# copy of its seed corpus in a temporary directory, so nothing is written into the repository.
# Exits non-zero when the build fails or any target crashes, traps or times out; the failing
# input is printed in hex and kept, with the log, in the directory named at the end.
#
#   SMOKE_SECONDS  seconds per target (default 30)
#   BUILD_JOBS     parallel build jobs (default 2)
#   FUZZ_TARGETS   targets to run (default: all four, and fuzz_scanner_compressed: fuzz_scanner
#                  in its compressed-input mode, BYTROVE_FUZZ_COMPRESSED=1)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${SMOKE_SECONDS:-30}
jobs=${BUILD_JOBS:-2}
read -r -a targets <<<"${FUZZ_TARGETS:-fuzz_pattern fuzz_switches fuzz_scanner fuzz_sets fuzz_scanner_compressed}"

cd "$root"
cmake --preset fuzz
cmake --build --preset fuzz --parallel "$jobs"

work=$(mktemp -d "${TMPDIR:-/tmp}/bytrove-fuzz.XXXXXX")
failed=()
for target in "${targets[@]}"; do
  binary="$root/build/fuzz/fuzz/${target%_compressed}"
  seeds="$root/fuzz/corpus/${target%_compressed}"
  mode=()
  [[ $target == *_compressed ]] && mode=(env BYTROVE_FUZZ_COMPRESSED=1)
  corpus="$work/$target/corpus"
  artifacts="$work/$target/artifacts"
  mkdir -p "$corpus" "$artifacts"
  cp "$seeds/"* "$corpus/"
  echo "== $target: ${seconds}s"
  status=0
  # -timeout: one input running for a minute is a hang, and fails like a crash.
  (cd "$work/$target" && "${mode[@]}" "$binary" "$corpus" -max_total_time="$seconds" -timeout=60 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" >log 2>&1) || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec)' \
    "$work/$target/log" || true
  if ((status != 0)); then
    failed+=("$target")
    echo "!! $target failed (exit $status); last lines of its log:"
    tail -n 40 "$work/$target/log"
    for input in "$artifacts"/*; do
      [[ -e $input ]] || continue
      echo "!! reproducer $input:"
      od -A x -t x1 -v "$input" | head -n 40
    done
  fi
done

passed=$((${#targets[@]} - ${#failed[@]}))
if ((${#failed[@]})); then
  echo "fuzz smoke run FAILED: ${failed[*]} (logs and inputs kept in $work)"
  echo "fuzz: $passed passed, ${#failed[@]} failed"
  exit 1
fi
rm -rf "$work"
echo "fuzz smoke run: ${targets[*]}, ${seconds}s each"
echo "fuzz: $passed passed, 0 failed"
