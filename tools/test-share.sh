#!/usr/bin/env bash
# How much of the tree is tests, and how much of the tests is the unit tier.
#   tools/test-share.sh [BUILD_DIR]      (BUILD_DIR defaults to build; configured with tests)
# Lines: the C++ (.cpp, .h) and shell files git tracks (.sh, and files whose first line runs sh
# or bash, as ./run and the fake Oracle's programs), without blank lines and without comment
# lines (C++: lines only of a // comment or inside /* */; shell: lines starting with #, the
# first line included; a /* or // inside a string or character literal opens no comment; a raw
# string literal over several lines counts as code). Test lines are those under tests/ (test
# support and the fake Oracle installation included), tests/testdata excluded; code lines are all
# the others (src, tools, fuzz, bench, packaging, contrib, run). Other languages (Python, CMake,
# awk, SQL) are not counted.
# Cases: the gtest cases of the suites ctest lists, by --gtest_list_tests of each suite's program;
# the unit tier is the suites labelled unit (ctest -L unit). Tests that are not gtest programs
# (install_test, package_test, docs_test) are counted as suites only.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

# lines FILE...: prints the counted lines of the files, C++ and shell told apart by name.
lines() {
  awk '
    FNR == 1 { shell = FILENAME !~ /\.(cpp|h)$/; block = 0 }
    shell { if ($0 !~ /^[ \t]*(#|$)/) n++; next }
    {
      line = $0
      gsub(/"([^"\\]|\\.)*"|\047([^\047\\]|\\.)*\047/, "\"\"", line)  # no comment inside a literal
      if (block) { if (sub(/.*\*\//, "", line)) block = 0; else next }
      while (match(line, /\/\*/)) {  # a block comment opens on the line
        rest = substr(line, RSTART + 2)
        if (match(rest, /\*\//)) line = substr(line, 1, index(line, "/*") - 1) substr(rest, RSTART + 2)
        else { line = substr(line, 1, index(line, "/*") - 1); block = 1 }
      }
      if (line !~ /^[ \t]*(\/\/.*)?$/) n++
    }
    END { print n + 0 }' "$@"
}

# The C++ and shell files git tracks, NUL-separated.
sources() {
  git ls-files -z | while IFS= read -r -d '' f; do
    case $f in
      *.cpp | *.h | *.sh) printf '%s\0' "$f" ;;
      *.*) ;;
      *) [ -f "$f" ] && head -n 1 "$f" | grep -qE '^#!.*\b(ba)?sh\b' && printf '%s\0' "$f" ;;
    esac
  done
}

mapfile -d '' -t all < <(sources)
code=() tests=()
for f in "${all[@]}"; do
  case $f in
    tests/testdata/*) ;;
    tests/*) tests+=("$f") ;;
    *) code+=("$f") ;;
  esac
done
code_lines=$(lines "${code[@]}")
test_lines=$(lines "${tests[@]}")
echo "lines (C++ and shell, no blank or comment lines): code $code_lines in ${#code[@]} files," \
  "tests $test_lines in ${#tests[@]} files; tests are $((100 * test_lines / (code_lines + test_lines)))%" \
  "of all, $((100 * test_lines / code_lines))% of the code"

if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "gtest cases: not counted ($build has no tests; configure it with -DEBS_TESTS=ON)" >&2
  exit 0
fi
# cases [CTEST_OPTION]: the number of suites, of gtest programs among them, and of their cases.
cases() {
  (cd "$build" && ctest --show-only=json-v1 "$@") |
    jq -r '.tests[] | .command[0]' | {
      suites=0 programs=0 n=0
      while IFS= read -r program; do
        suites=$((suites + 1))
        listed=$("$program" --gtest_list_tests 2>/dev/null) || continue
        programs=$((programs + 1))
        n=$((n + $(grep -c '^  ' <<<"$listed" || true)))
      done
      echo "$suites $programs $n"
    }
}
read -r unit_suites _ unit_cases < <(cases -L unit)
read -r all_suites all_programs all_cases < <(cases)
echo "gtest cases: unit tier $unit_cases of $all_cases ($((100 * unit_cases / all_cases))%);" \
  "suites: unit tier $unit_suites of $all_suites ($all_programs of them gtest programs built here)"
