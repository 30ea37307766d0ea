#!/usr/bin/env bash
# The Debian package as a user gets it: built from this build tree, unpacked, and the
# program started through the link on the PATH, in Chinese, under a virtual X server. The
# window's Chinese title shows that the program found its translation beside its real
# executable.
#
#   tests/package.sh BUILD_DIR
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/deps"
unset QT_QPA_PLATFORM DISPLAY
work=$(mktemp -d)
program=
cleanup() {
    [ -n "$program" ] && { kill "$program" 2>/dev/null || true; wait "$program" 2>/dev/null || true; }
    rm -rf "$work" || true
}
velmora_on_exit cleanup

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
package=$(ls "$work"/out/velmora_*_amd64.deb)
dpkg-deb -x "$package" "$work/root"
[ -L "$work/root/usr/bin/velmora" ] || { echo "usr/bin/velmora is not a link" >&2; exit 1; }
for file in velmora qmain_zh.qm icon.png; do
    [ -f "$work/root/usr/lib/velmora/$file" ] || { echo "usr/lib/velmora/$file missing" >&2; exit 1; }
done

velmora_xvfb
HOME=$work LC_ALL=zh_CN.UTF-8 "$work/root/usr/bin/velmora" >"$work/log" 2>&1 &
program=$!
# The title is in _NET_WM_NAME, which getwindowname reads; the older WM_NAME that
# search --name matches holds only Latin-1.
title="Velmora PC 无线版"
shown=
for _ in $(seq 200); do
    for window in $(xdotool search --class velmora 2>/dev/null || true); do
        [ "$(xdotool getwindowname "$window" 2>/dev/null || true)" = "$title" ] && shown=$window
    done
    [ -n "$shown" ] && break
    sleep 0.1
done
if [ -z "$shown" ]; then
    echo "no window titled \"$title\"; the program said:" >&2
    cat "$work/log" >&2
    exit 1
fi
echo "the unpacked program shows \"$title\""
