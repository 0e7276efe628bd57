#!/bin/sh
# Every layer includes only from itself and the layers below it:
# base (util, geometry) < engine (lic, field/reg_grid) < io (field, output)
# < run (app) < drivers (cli, ui, python). Prints each include that points
# upward and fails when there is one.
cd "$(dirname "$0")/.." || exit 2
bad=0
check() {  # files, allowed include prefixes (a grep pattern)
  for f in $1; do
    case $f in *_test.cpp) continue ;; esac
    grep -n '#include "' "$f" | grep -v "\"\($2\)" | sed "s|^|$f:|" | grep . && bad=1
  done
}
check "util/*.h util/*.cpp geometry/*.h" 'util/\|geometry/'
check "lic/*.h lic/*.cpp field/reg_grid.h field/reg_grid.cpp" 'util/\|geometry/\|lic/\|field/reg_grid.h'
check "field/*.h field/*.cpp output/*.h output/*.cpp" 'util/\|geometry/\|lic/\|field/\|output/'
check "app/*.h app/*.cpp" 'util/\|geometry/\|lic/\|field/\|output/\|app/'
exit $bad
