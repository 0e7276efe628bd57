#!/bin/sh
# fastlic-gui started and closed without a click, in a directory with no
# input files: status 0 and nothing on standard output; with standard output
# closed, its descriptor is kept from every file the window opens; without a
# display, one line and status 1.
set -u
gui=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
fail() {
  echo "$1"
  cat "$dir/err"
  exit 1
}

FASTLIC_GUI_CLOSE_AFTER_MS=300 "$gui" >"$dir/out" 2>"$dir/err" || fail "fastlic-gui exited with status $?"
[ -s "$dir/out" ] && fail "fastlic-gui wrote to standard output: $(head -c 300 "$dir/out")"

FASTLIC_GUI_CLOSE_AFTER_MS=2000 "$gui" >&- 2>"$dir/err" &
pid=$!
tries=0
until [ "$(readlink "/proc/$pid/fd/1" 2>/dev/null)" = / ] || [ $tries -ge 50 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
held=$(readlink "/proc/$pid/fd/1" 2>/dev/null)
wait $pid || fail "with standard output closed, fastlic-gui exited with status $?"
[ "$held" = / ] || fail "with standard output closed, descriptor 1 was \"$held\", not the placeholder"

env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY "$gui" >"$dir/out" 2>"$dir/err"
status=$?
expected="fastlic: cannot open the window: no display (DISPLAY is not set)"
[ $status -eq 1 ] && [ "$(cat "$dir/err")" = "$expected" ] && [ ! -s "$dir/out" ] ||
  fail "without a display: status $status, standard error:"
echo "fastlic-gui: closes with status 0, keeps a closed standard output closed, says when there is no display"
