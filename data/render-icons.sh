#!/usr/bin/env bash
# Renders the PNG sizes of the application icon from its SVG. The PNGs are kept in the
# repository so that building needs no SVG renderer; run this after changing the SVG
# (needs rsvg-convert from librsvg2-bin).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
id=io.github.fernquill.Fernquill
for size in 16 22 24 32 48 64 128 256 512; do
    mkdir -p "$here/icons/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" "$here/icons/scalable/$id.svg" \
        -o "$here/icons/${size}x${size}/$id.png"
done
