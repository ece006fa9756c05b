#!/bin/sh
# The thumbnail view benchmark's peer: vipsthumbnail making 150-pixel
# thumbnails of every JPEG in a folder (libvips is a timed peer only, never a
# dependency). Prints nothing on success; exits 2 when vipsthumbnail is
# missing, so the benchmark can report the peer as skipped.
#
# Usage: tools/mview_peers.sh folder size
set -eu
dir=$1
size=${2:-150}
command -v vipsthumbnail >/dev/null 2>&1 || exit 2
out=$(mktemp -d "${TMPDIR:-/tmp}/pxmview_peer.XXXXXX")
trap 'rm -rf "$out"' EXIT INT TERM
vipsthumbnail -s "$size" -o "$out/%s_t.jpg" "$dir"/*.jpg
