#!/bin/sh
# Non-blank lines of the tests (C++ and Python test files, test support, the fuzz harnesses)
# against the rest of the sources, and their ratio. The scripts that write the fuzz seeds and
# regressions are tools, counted with neither. Counts what git tracks, from the repository's root.
set -eu
cd "$(dirname "$0")/.."
sources=$(git ls-files -- '*.cpp' '*.h' '*.py' '*.proto')
tests=$(printf '%s\n' $sources | grep -E '(^|/)tests/|^fuzz/.*\.(cpp|h)$' || true)
code=$(printf '%s\n' $sources | grep -vE '(^|/)(tests|fuzz)/' || true)
count() { if [ -n "$1" ]; then printf '%s\n' $1 | xargs grep -hv '^[[:space:]]*$' | wc -l; else echo 0; fi; }
t=$(count "$tests")
c=$(count "$code")
echo "tests $t  code $c  ratio $(awk -v t="$t" -v c="$c" 'BEGIN { printf "%.3f", t / c }')"
