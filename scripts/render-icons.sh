#!/usr/bin/env bash
# Renders the application icon's PNG sizes for the hicolor theme from its SVG.
# Run after a change to the SVG and commit the results (needs rsvg-convert,
# Debian package librsvg2-bin).
set -euo pipefail
icons=$(cd "$(dirname "${BASH_SOURCE[0]}")/../desktop/icons" && pwd)
svg=$(ls "$icons"/hicolor/scalable/apps/*.svg)
name=$(basename "$svg" .svg)
for size in 16 24 32 48 64 128 256; do
  dir="$icons/hicolor/${size}x${size}/apps"
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$dir/$name.png"
done
