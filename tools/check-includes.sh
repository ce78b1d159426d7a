#!/usr/bin/env bash
# Checks that every C++ file of the tree includes the standard headers it uses, instead of building
# only because another header happens to bring them in (which a newer or another standard library
# does not: GCC 14's libstdc++ brings in far less than GCC 12's). For every .h and .cpp under src/,
# tools/, tests/, bench/ and fuzz/:
#   1. a file that names a type or macro of <cstdint> (uint32_t, uintmax_t, SIZE_MAX, ...) outside
#      comments includes <cstdint> (or <cinttypes>, <stdint.h>, <inttypes.h>) itself;
#   2. every header compiles on its own, with g++ and libstdc++;
#   3. every header and source compiles (syntax only) with clang++ against LLVM's libc++, a second
#      standard library whose headers include one another differently.
# Xerces-C, CLI11, nlohmann-json, GoogleTest and Google Benchmark headers are found where Debian
# installs them. Needs g++, clang++ and libc++ (Debian: clang libc++-dev libc++abi-dev).
#   tools/check-includes.sh [FILE...]    default: every file above; exit status 1 on a fault
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(find src tools tests bench fuzz -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
fi

for tool in g++ clang++; do
  command -v "$tool" >/dev/null || { echo "check-includes: $tool is missing (install g++ clang)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The version header that the build generates, made here so that no build tree is needed.
mkdir -p "$work/generated"
version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
sed "s/@PROJECT_VERSION@/$version/" src/version/ebs_version.h.in >"$work/generated/ebs_version.h"

# What the build defines for the tests and ebs-host; the values do not matter to a syntax check.
# libpq's header lives in a directory of its own (libpq-dev).
PQ_INCLUDE=$(pg_config --includedir 2>/dev/null || echo /usr/include/postgresql)
FLAGS=(-std=c++17 -w -I"$ROOT/src" -I"$ROOT/tests" -I"$ROOT/tools/ebs-host" -I"$work/generated" -I"$PQ_INCLUDE"
       -DGTEST_HAS_PTHREAD=1 -DEBS_SOURCE_DIR='"/"' -DEBS_HOST_TOOL='"/"' -DEBS_BUILD_HOST='"/"'
       -DEBS_BUILD_PLUGIN='"/"' -DEBS_PLUGIN_PATH='"/"' -DEBS_PLUGIN_FROM_BINDIR='"/"' -DEBS_INTRUDER='"/"')

if ! printf '#include <string>\nint main() {}\n' |
    clang++ -stdlib=libc++ -std=c++17 -fsyntax-only -x c++ - >/dev/null 2>&1; then
  echo "check-includes: clang++ cannot use libc++ here (install libc++-dev libc++abi-dev)" >&2
  exit 2
fi

# 1. The names of <cstdint>, outside comments (g++ -fpreprocessed drops comments, expands nothing).
CSTDINT_NAMES='\b(std::)?(u?int(_least|_fast)?(8|16|32|64)_t|u?int(max|ptr)_t|U?INT(_LEAST|_FAST)?(8|16|32|64)_(MAX|MIN)|U?INT(MAX|PTR)_(MAX|MIN)|U?INT(8|16|32|64|MAX)_C|SIZE_MAX|PTRDIFF_(MAX|MIN)|SIG_ATOMIC_(MAX|MIN)|WCHAR_(MAX|MIN)|WINT_(MAX|MIN))\b'
cstdint_faults=0
for f in "${files[@]}"; do
  text=$(g++ -fpreprocessed -dD -E -P -x c++ "$f" 2>/dev/null) || text=$(cat "$f")
  if grep -qE "$CSTDINT_NAMES" <<<"$text" &&
     ! grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(cstdint|cinttypes|stdint\.h|inttypes\.h)>' <<<"$text"; then
    name=$(grep -oE "$CSTDINT_NAMES" <<<"$text" | head -n 1)
    echo "$f: uses $name without #include <cstdint>"
    cstdint_faults=$((cstdint_faults + 1))
  fi
done

# 2 and 3, two jobs at a time; each failure leaves its compiler output in $work/out.
export ROOT work
check_one() { # check_one KIND FILE: KIND is gcc-alone or libcxx
  local kind=$1 f=$2 out
  mapfile -t flags <"$work/flags"
  set -- "${flags[@]}"
  if [ "$kind" = gcc-alone ]; then
    out=$(g++ -fsyntax-only -x c++ "$@" "$ROOT/$f" 2>&1)
  else
    case $f in *.h) set -- -x c++ "$@" ;; esac
    out=$(clang++ -stdlib=libc++ -fsyntax-only "$@" "$ROOT/$f" 2>&1)
  fi
  [ $? -eq 0 ] && return 0
  printf '%s (%s):\n%s\n' "$f" "$kind" "$(grep -E 'error' <<<"$out" | head -n 5)" \
    >"$work/out.$kind.${f//\//_}"
  return 1
}
export -f check_one
printf '%s\n' "${FLAGS[@]}" >"$work/flags"
{
  for f in "${files[@]}"; do
    case $f in *.h) printf '%s\0%s\0' gcc-alone "$f" ;; esac
    printf '%s\0%s\0' libcxx "$f"
  done
} | nice -n 10 xargs -0 -n 2 -P "$JOBS" bash -c 'check_one "$@"' check_one
compile_faults=$(find "$work" -maxdepth 1 -name 'out.*' | wc -l)
find "$work" -maxdepth 1 -name 'out.*' -print0 | sort -z | xargs -0 -r cat

if [ $((cstdint_faults + compile_faults)) -gt 0 ]; then
  echo "check-includes: $cstdint_faults file(s) without <cstdint>, $compile_faults compile failure(s)" \
       "of ${#files[@]} file(s): include the standard headers each file uses" >&2
  exit 1
fi
echo "check-includes: ${#files[@]} files include what they use from <cstdint>; headers compile alone;" \
     "all compile against libc++"
