#!/usr/bin/env bash
# Builds and tests every configuration: the 64-bit tree, the 32-bit tree, the 64-bit tree under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency tests under
# ThreadSanitizer. Trees are built one after another (two compile jobs each) under build/.
#
#   scripts/test.sh            all four trees
#   scripts/test.sh 64 32      only the named trees (64, 32, asan, tsan)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
sudo_if_needed bash scripts/setup.sh || { echo "test: set-up failed" >&2; exit 1; }

trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(64 32 asan tsan)
jobs=${NVX_JOBS:-2}
# ccache (when installed) then reuses objects across checkouts in other folders.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1

mkdir -p build
total_passed=0
total_failed=0
failed_trees=()

for tree in "${trees[@]}"; do
  case "$tree" in
    64)   opts=() ; select_tests=() ;;
    32)   opts=(-DNVX_M32=ON) ; select_tests=() ;;
    asan) opts=(-DNVX_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug) ; select_tests=() ;;
    tsan) opts=(-DNVX_SANITIZE=thread) ; select_tests=(-L concurrency) ;;
    *) echo "test: unknown tree '$tree' (64, 32, asan, tsan)" >&2; exit 2 ;;
  esac
  dir=build/$tree
  echo "=== tree $tree: configure and build in $dir"
  if ! cmake -S . -B "$dir" -G Ninja "${opts[@]}" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"
    failed_trees+=("$tree(configure)"); continue
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    failed_trees+=("$tree(build)"); continue
  fi
  echo "=== tree $tree: tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  log=$dir/ctest.log
  # A failed test is run once more before it counts as failed (--repeat until-pass:2): the
  # cross-process tests run real hosts and sensors on two cores next to each other. A test that
  # fails twice fails the tree; ctest's log shows every failed attempt.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --no-tests=error --repeat until-pass:2 \
    "${select_tests[@]}" \
    2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$summary" ]; then
    n_total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    n_failed=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
    total_passed=$((total_passed + n_total - n_failed))
    total_failed=$((total_failed + n_failed))
  fi
  [ "$rc" -eq 0 ] || failed_trees+=("$tree")
done

echo
if [ ${#failed_trees[@]} -gt 0 ]; then
  echo "test: FAILED in: ${failed_trees[*]}"
fi
echo "total: $total_passed passed, $total_failed failed"
[ ${#failed_trees[@]} -eq 0 ]
