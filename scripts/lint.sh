#!/bin/sh
# Static analysis: cppcheck and clang-tidy over the project's sources, the
# latter against the mingw-w64 headers the build uses. Fails on a finding.
#   scripts/lint.sh [SOURCE...]   the given sources, or all of them
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh --x64
cmake --preset mingw-x64 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

sources=${*:-$(git ls-files '*.cpp')}

echo "cppcheck"
# shellcheck disable=SC2086
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --platform=win64 \
  --enable=warning,style,performance,portability --inline-suppr --library=windows --library=googletest \
  --suppress=missingIncludeSystem --suppress=unusedFunction --suppress=useStlAlgorithm \
  -D_WIN32 -D_WIN64 -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601 \
  -Ifrontend -Iserverlink -Itests $sources

echo "clang-tidy"
# clang, told the target, finds the mingw C headers but not the C++ ones of
# the posix-thread g++: pass on that compiler's own search list.
includes=$(x86_64-w64-mingw32-g++-posix -E -x c++ - -v </dev/null 2>&1 |
  sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '^ /.*/include/c++' |
  sed 's|^ *|--extra-arg=-isystem|')
# Two sources at a time, one per core. Each one's errors and findings are
# shown together; clang-tidy's own counts are not. xargs exits non-zero
# when any check failed.
# shellcheck disable=SC2086
printf '%s\n' $sources | xargs -n 1 -P 2 sh -c '
  output=$(clang-tidy -p build/mingw-x64 --quiet --extra-arg=--target=x86_64-w64-mingw32 '"$(echo $includes)"' \
    "$1" 2>&1)
  status=$?
  printf "%s\n" "$output" | grep -v -E "^\$|^[0-9]+ (warnings?|errors?)( and [0-9]+ errors?)? generated\.\$"
  [ $status -eq 0 ]' sh
