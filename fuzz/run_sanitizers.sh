#!/usr/bin/env bash
# CI sanitizer steps: build the core's unit tests with AddressSanitizer + UndefinedBehaviorSanitizer and run
# them; build the libFuzzer targets, replay the committed corpus and regression inputs, then fuzz each target
# for a short while from that corpus. Any sanitizer report, failed check, crash, leak or hang fails the run.
#
#   bash fuzz/run_sanitizers.sh
#
# PAGEWRIGHT_FUZZ_SECONDS (default 60): fuzzing time per target; 0 skips the fuzzing smoke.
# PAGEWRIGHT_SANITIZER_BUILD: build directory to use (default: a fresh temporary directory).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
fuzz_seconds="${PAGEWRIGHT_FUZZ_SECONDS:-60}"
targets=(fuzz_database fuzz_record fuzz_decompress fuzz_amplification fuzz_log)

log() { printf '[sanitizers %s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# Toolchain ------------------------------------------------------------------------------------------------

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo > /dev/null; then sudo "$@"; else "$@"; fi
}

apt_updated=0
apt_install() {
  if ! command -v apt-get > /dev/null; then
    echo "missing tools and no apt-get to install them: $*" >&2
    exit 1
  fi
  if [ "$apt_updated" -eq 0 ]; then
    as_root apt-get update -qq
    apt_updated=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

fuzzer_runtime_works() {
  local dir
  dir="$(mktemp -d)"
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' > "$dir/probe.cpp"
  local status=0
  clang++ -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" > /dev/null 2>&1 || status=1
  rm -rf "$dir"
  return "$status"
}

if ! command -v clang++ > /dev/null; then
  log "installing clang"
  apt_install clang
fi
if ! fuzzer_runtime_works; then
  major="$(clang++ -dumpversion | cut -d. -f1)"
  log "installing the sanitizer and fuzzer runtime of clang $major"
  apt_install "libclang-rt-${major}-dev" || apt_install "libclang-common-${major}-dev"
  fuzzer_runtime_works || { echo "clang++ cannot link -fsanitize=fuzzer,address,undefined" >&2; exit 1; }
fi
if ! command -v cmake > /dev/null; then
  log "installing cmake"
  apt_install cmake make
fi

# Build ----------------------------------------------------------------------------------------------------

build="${PAGEWRIGHT_SANITIZER_BUILD:-}"
if [ -z "$build" ]; then
  build="$(mktemp -d)"
  # Kept when a step fails, so that the failing input and the logs can be looked at.
  trap 'status=$?; if [ "$status" -eq 0 ]; then rm -rf "$build"; else echo "build directory kept: $build" >&2; fi' EXIT
fi
generator=()
if command -v ninja > /dev/null; then generator=(-G Ninja); fi

log "configuring in $build ($(clang++ --version | head -n 1))"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPAGEWRIGHT_PYTHON=OFF \
  -DPAGEWRIGHT_NATIVE_TESTS=ON \
  -DPAGEWRIGHT_SANITIZE=ON \
  -DPAGEWRIGHT_FUZZ=ON > "$build/configure.log" || { cat "$build/configure.log"; exit 1; }
log "building"
cmake --build "$build" --parallel "$(nproc 2> /dev/null || echo 2)" \
  --target pagewright_core_tests "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Unit tests -----------------------------------------------------------------------------------------------

log "unit tests of the core (ASan + UBSan)"
"$build/pagewright_core_tests"

# Corpus replay and fuzzing smoke ----------------------------------------------------------------------------

fuzz_bin="$build/fuzz"
work="$build/fuzz-work"
mkdir -p "$work"
for target in "${targets[@]}"; do
  inputs=()
  dirs=("$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target")
  # The amplification oracle runs over every database input too.
  if [ "$target" = fuzz_amplification ]; then dirs+=("$root/fuzz/corpus/fuzz_database" "$root/fuzz/regressions/fuzz_database"); fi
  for dir in "${dirs[@]}"; do
    if [ -d "$dir" ]; then inputs+=("$dir"); fi
  done
  if [ "${#inputs[@]}" -gt 0 ]; then
    count="$(find "${inputs[@]}" -type f | wc -l)"
    log "$target: replaying $count committed inputs"
    # One process per batch of files; each file runs once, a crash or a leak stops with a non-zero status.
    find "${inputs[@]}" -type f -print0 | sort -z |
      xargs -0 -n 200 "$fuzz_bin/$target" -timeout=30 -rss_limit_mb=2048 > "$work/$target-replay.log" 2>&1 ||
      { tail -n 60 "$work/$target-replay.log"; echo "$target: replay of the committed corpus failed" >&2; exit 1; }
  fi

  if [ "$fuzz_seconds" -gt 0 ]; then
    case "$target" in
      fuzz_database | fuzz_amplification) max_len=262144 ;;
      fuzz_log) max_len=65536 ;;
      *) max_len=4096 ;;
    esac
    # New inputs go to a scratch directory (the first one given); the committed corpus is only read.
    mkdir -p "$work/$target-new" "$work/$target-artifacts"
    log "$target: fuzzing for ${fuzz_seconds}s"
    "$fuzz_bin/$target" -max_total_time="$fuzz_seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/$target-artifacts/" \
      "$work/$target-new" "${inputs[@]}" > "$work/$target-fuzz.log" 2>&1 ||
      {
        tail -n 80 "$work/$target-fuzz.log"
        echo "$target: fuzzing found a failure; the input is in $work/$target-artifacts/" >&2
        for artifact in "$work/$target-artifacts"/*; do
          [ -f "$artifact" ] || continue
          echo "$(basename "$artifact") ($(wc -c < "$artifact") bytes), gzip + base64:" >&2
          gzip -c "$artifact" | base64 -w 0 | head -c 200000 >&2
          echo >&2
        done
        exit 1
      }
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$work/$target-fuzz.log" |
      sed "s/^/  $target /"
  fi
done
log "all sanitizer checks passed"
