#!/bin/sh
# Every layer includes only from itself and the layers below it:
# base < engine < render < io < run < drivers. Prints each include that
# points upward and fails when there is one.
cd "$(dirname "$0")/.." || exit 2
bad=0
check() {  # folder, allowed include prefixes (a grep pattern)
  for f in "$1"/*.h "$1"/*.cpp; do
    case $f in *_test.cpp) continue ;; esac
    grep -n '#include "' "$f" | grep -v "\"\($2\)" | sed "s|^|$f:|" | grep . && bad=1
  done
}
check base 'base/'
check engine 'base/\|engine/'
check render 'base/\|engine/\|render/'
check io 'base/\|engine/\|render/\|io/'
check run 'base/\|engine/\|render/\|io/\|run/'
exit $bad
