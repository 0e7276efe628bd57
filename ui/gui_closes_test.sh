#!/bin/sh
# fastlic-gui started and closed without a click, in a directory with no
# input files: status 0, nothing on standard output.
set -u
gui=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
FASTLIC_GUI_CLOSE_AFTER_MS=300 "$gui" >"$dir/out" 2>"$dir/err"
status=$?
if [ "$status" -ne 0 ]; then
  echo "fastlic-gui exited with status $status"
  cat "$dir/err"
  exit 1
fi
if [ -s "$dir/out" ]; then
  echo "fastlic-gui wrote to standard output:"
  head -c 300 "$dir/out"
  exit 1
fi
echo "fastlic-gui closed with status 0 and empty standard output"
