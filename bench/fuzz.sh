#!/usr/bin/env bash
# Builds one fuzz target with clang and libFuzzer and runs it for a number of seconds,
# starting from the seed corpus in fuzz/corpus/<target>/. New inputs libFuzzer finds go
# to build/fuzz/corpus/<target>/ (not the repository); a crash leaves its input in
# build/fuzz/artifacts/. Targets: textconfig packet dnsanswer template access smtp pop3
# imap4 deliveryheader ftpcommand ftpport httprequest.
# Usage: bench/fuzz.sh TARGET SECONDS [extra libFuzzer options]
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:?target}"
seconds="${2:-60}"
shift 2 || true
cd "$src"

# libFuzzer's runtime comes with clang's runtime package.
fuzz_packages=(clang libclang-rt-dev)
missing=()
for p in "${fuzz_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=build/fuzz
if [[ ! -f "$build/build.ninja" ]]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQMS_FUZZ=ON -DQMS_TESTS=OFF -DQMS_WITH_MANAGER=OFF >/dev/null
fi
cmake --build "$build" --target "fuzz_$target"

work="$build/corpus/$target"
mkdir -p "$work" "$build/artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
  "$@" "$work" "fuzz/corpus/$target"
