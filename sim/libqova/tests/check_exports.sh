#!/bin/sh
# Checks that the shared library at $1 exports exactly the 25 functions of
# qova.h and nothing else (no C++ symbols of its inner code).
set -eu
symbols=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
others=$(printf '%s\n' "$symbols" | grep -v '^qova_' || true)
count=$(printf '%s\n' "$symbols" | grep -c '^qova_' || true)
if [ -n "$others" ]; then
  echo "exported besides qova_*:"; printf '%s\n' "$others"; exit 1
fi
if [ "$count" -ne 25 ]; then
  echo "expected 25 qova_* functions, found $count:"; printf '%s\n' "$symbols"; exit 1
fi
