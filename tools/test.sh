#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the tests: the code-file reader's
# fuzz target for a bounded time, the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the whole suite as built for use.
# QUICK=1 runs only the last of these, without the tests labelled slow.
# Every stage runs even when one before it failed; the last line says which ran and which
# failed, and the exit status is not 0 when any did.
set -uo pipefail
cd "$(dirname "$0")/.."
if ! tools/install-deps.sh test; then
  echo "tools/test.sh: installing the missing packages failed; nothing was built or run" >&2
  exit 1
fi
jobs=$(nproc)

outcomes=()
failures=0
stage() {  # name, command...
  local name=$1
  shift
  echo "=== tools/test.sh: $name"
  if "$@"; then
    outcomes+=("$name passed")
  else
    outcomes+=("$name FAILED")
    failures=$((failures + 1))
  fi
}

suite() {  # build folder, name of an array of ctest's label filter, extra CMake flags...
  local dir=$1
  local -n labels=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "$@" &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 "${labels[@]}"
}

fuzz() {
  cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ &&
    cmake --build build-fuzz &&
    mkdir -p build-fuzz/corpus &&
    build-fuzz/record_reader_fuzz -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 \
      build-fuzz/corpus fuzz/corpus
}

# Leak checks stay off until the whole suite is known to pass with them. To run a test
# with them, with the system libraries' own allocations (tests/lsan.supp) left out:
#   ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
#     build-asan/tests/startup_test
# The wrap tests (label slow) take over two minutes each under the sanitizers and run the
# code paths the short upload tests run there too; the plain suite below runs them.
sanitized_labels=(-LE slow)
sanitized() {
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    suite build-asan sanitized_labels -DVANTREL_SANITIZE=ON
}

plain_labels=()
if [[ "${QUICK:-0}" == 1 ]]; then
  plain_labels=(-LE slow)
else
  stage "fuzz target" fuzz
  stage "sanitized suite (build-asan)" sanitized
fi
stage "plain suite (build)" suite build plain_labels

summary=$(printf '%s, ' "${outcomes[@]}")
echo "tools/test.sh: ${summary%, }."
((failures == 0))
