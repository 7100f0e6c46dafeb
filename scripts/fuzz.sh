#!/usr/bin/env bash
# Runs each fuzz harness for the given number of seconds (default 300) on a
# copy of its corpus and prints libFuzzer's closing figures.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQ7M_FUZZ=ON -DQ7M_TESTS=OFF >/dev/null
ninja -C build-fuzz config_fuzz macro_fuzz receive_fuzz
for harness in config macro receive; do
  work=$(mktemp -d)
  cp fuzz/corpus/$harness/* "$work"/
  dict=()
  [ -f fuzz/$harness.dict ] && dict=(-dict=fuzz/$harness.dict)
  echo "== $harness: $seconds s"
  (cd "$work" && "$OLDPWD/build-fuzz/bin/${harness}_fuzz" "${dict[@]/#-dict=/-dict=$OLDPWD/}" \
    -max_total_time="$seconds" -print_final_stats=1 . 2>&1 | grep -E "^(Done|stat::|==[0-9]+==|SUMMARY)" || true)
  rm -rf "$work"
done
