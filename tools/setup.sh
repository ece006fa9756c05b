#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and fuzzes with.
# Idempotent: installs only what is missing.
#
# --peers also installs the programs the tools/*_peers.sh scripts time ours
# against (libvips's command line and ImageMagick). They are timed peers
# only, never built against or linked, and neither the default set-up nor
# CI installs them.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libdeflate-dev libopenjp2-7-dev
  libopenjp2-tools poppler-utils ghostscript qpdf
  fonts-noto-cjk xvfb xauth adwaita-icon-theme qt6-translations-l10n
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev clang-format
  netpbm libtiff-tools libtiff-dev
  libgif-dev
  libcurl4-openssl-dev
  ccache
)

if [ "${1:-}" = "--peers" ]; then
  PACKAGES+=(libvips-tools imagemagick time bc)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
