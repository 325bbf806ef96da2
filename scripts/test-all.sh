#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root),
# then builds and runs every test: plain, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and with ThreadSanitizer; last the fuzz
# targets, briefly. The tests wait on timers far more than they compute, so
# each build's tests run (three at a time) while the next tree compiles.
# Each test runs in two builds: the black-box tests under both sanitizers,
# the end-to-end test in the plain and the ASan build, the rest in all
# three; the Debian package's boot test, which builds the package itself,
# once.
set -euo pipefail
cd "$(dirname "$0")/.."

packages="cmake make g++ libssl-dev libgtest-dev python3 openssh-client openssh-server psmisc iptables iproute2 util-linux procps systemd logrotate man-db groff-base clang libclang-rt-14-dev prometheus prometheus-node-exporter systemd-container build-essential debhelper lintian"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi

build() {  # build folder, extra CMake options, then (after --target) what to build
  local dir=$1 options=() targets=(); shift
  while [ $# -gt 0 ] && [ "$1" != --target ]; do options+=("$1"); shift; done
  [ $# -eq 0 ] || targets=("$@")
  cmake -S . -B "$dir" -DTK_TESTS=ON "${options[@]}" >/dev/null
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
started=$SECONDS
pids=()
check() {  # build folder, ctest options; in the background, its output in the folder's ctest.log
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j 3 "$@") >"$dir/ctest.log" 2>&1 &
  pids+=($!)
}

build build
check build -E blackbox
build build-asan -DTK_SANITIZE=ON -DTK_BENCH=OFF
check build-asan -E boot
build build-tsan -DTK_TSAN=ON -DTK_BENCH=OFF
check build-tsan -E "e2e_real_host|boot"
# libFuzzer targets, a few seconds each, from the seeds in fuzz/corpus.
build build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTK_FUZZ=ON -DTK_TESTS=OFF -DTK_BENCH=OFF --target fuzz_request
check build-fuzz

failed=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed=1
done
for dir in build build-asan build-tsan build-fuzz; do
  echo "==== $dir"
  cat "$dir/ctest.log"
done
echo "==== every build and test in $((SECONDS - started)) seconds"
exit $failed
