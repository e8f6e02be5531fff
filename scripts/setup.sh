#!/usr/bin/env bash
# Installs everything the build and the tests need, and fetches the pinned
# Dear ImGui source into deps/. Idempotent: a second run on a ready machine
# checks and returns in a second or two.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="$ROOT/deps"

PACKAGES=(
  clang-16 lld-16 libclang-rt-16-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine wine64 xvfb x11-apps xdotool imagemagick
  nlohmann-json3-dev libfmt-dev fonts-wqy-microhei
  googletest libcapstone-dev cmake ninja-build python3
)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Dear ImGui: Debian 13's source package, pinned by version and checksum.
# The archive host is read from this machine's own apt configuration.
IMGUI_VERSION="1.90.1+ds-1"
IMGUI_ORIG="imgui_1.90.1+ds.orig.tar.xz"
IMGUI_SHA256="ecce377df0f90b292f15dcbd83d438bddc162b2388c881132bde18c787572a1c"
IMGUI_DIR="$DEPS/imgui"

if [ ! -f "$IMGUI_DIR/.pinned" ] || [ "$(cat "$IMGUI_DIR/.pinned")" != "$IMGUI_SHA256" ]; then
  mkdir -p "$DEPS"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  uri="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)"
  if [ -z "$uri" ]; then
    uri="$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)"
  fi
  if [ -z "$uri" ]; then echo "setup: no Debian archive URI found in apt configuration" >&2; exit 1; fi
  mkdir -p "$work/lists/partial"
  echo "deb-src [trusted=yes] $uri trixie main" > "$work/sources.list"
  opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
        -o "Dir::State::Lists=$work/lists" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  apt-get "${opts[@]}" update -qq >/dev/null
  (cd "$work" && apt-get "${opts[@]}" source --download-only "imgui=$IMGUI_VERSION" >/dev/null)
  echo "$IMGUI_SHA256  $work/$IMGUI_ORIG" | sha256sum -c --quiet -
  rm -rf "$IMGUI_DIR"; mkdir -p "$IMGUI_DIR"
  tar -xf "$work/$IMGUI_ORIG" -C "$IMGUI_DIR" --strip-components=1
  echo "$IMGUI_SHA256" > "$IMGUI_DIR/.pinned"
  echo "setup: Dear ImGui $IMGUI_VERSION in $IMGUI_DIR"
fi

echo "setup: ready"
