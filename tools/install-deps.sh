#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need, when
# they are missing. Run as root (or with sudo); does nothing when all are there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libasio-dev libsndfile1-dev
  juce-modules-source-data   # VST3 pluginterfaces headers
  zam-plugins                # real third-party VST3 plug-ins to test against
  clang libclang-rt-14-dev   # the libFuzzer target
  # plug-in editors on X11, and the window tests: a virtual X server, input,
  # screenshots and software OpenGL for editors that draw with it
  libxcb1-dev libxcb-randr0-dev libxcb-xinput-dev libxcb-icccm4-dev libxcb-ewmh-dev
  xvfb xdotool x11-utils imagemagick libgl1-mesa-dri libglx-mesa0
  libxcb-xtest0-dev          # the X tests' clicks and keys (XTEST)
  libx11-dev                 # the fixture plug-in whose editor is drawn with Xlib
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
