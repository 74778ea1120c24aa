#!/usr/bin/env bash
# Test lines against code lines: non-blank, non-comment lines of the C++ files that git
# tracks under tests/ against those under src/ and tools/. Prints "tests / code = ratio".
set -eu
cd "$(git rev-parse --show-toplevel)"
count() {
  git ls-files -- "$@" | grep -E '\.(cpp|cc|h|hpp|inc)$' | tr '\n' '\0' |
    xargs -0 -r cat | grep -cvE '^\s*(//.*)?$'
}
code=$(count src tools)
tests=$(count tests)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "%d / %d = %.2f\n", t, c, t / c }'
