#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root),
# then builds and runs every test three times: plain, with AddressSanitizer
# and UndefinedBehaviorSanitizer, and with ThreadSanitizer; last the fuzz
# targets, briefly.
set -euo pipefail
cd "$(dirname "$0")/.."

packages="cmake make g++ libssl-dev libgtest-dev python3 openssh-client openssh-server psmisc iptables iproute2 util-linux procps systemd logrotate man-db groff-base clang libclang-rt-14-dev prometheus prometheus-node-exporter"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi

run() {  # build folder, extra CMake options
  local dir=$1; shift
  cmake -S . -B "$dir" -DTK_TESTS=ON "$@"
  cmake --build "$dir" -j "$(nproc)"
  (cd "$dir" && ctest --output-on-failure)
}

run build
run build-asan -DTK_SANITIZE=ON
run build-tsan -DTK_TSAN=ON
# libFuzzer targets, a few seconds each, from the seeds in fuzz/corpus.
run build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTK_FUZZ=ON -DTK_TESTS=OFF
