#!/usr/bin/env bash
# Installs what the build and the tests need, idempotently and quietly:
# Debian -dev packages, a .venv on Python 3.13 and the Python test packages.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(build-essential cmake ninja-build pkg-config zlib1g-dev libnifti-dev libniftiio-dev libznz-dev
              libeigen3-dev libssl-dev nlohmann-json3-dev libtbb-dev libgtest-dev libdeflate-dev
              libdeflate-tools
              chromium chromium-driver)  # the browser tests of the HTML pages drive Chromium headless
PY_PACKAGES=(pytest numpy nibabel matplotlib jinja2 selenium scikit-build-core hypothesis distributed tqdm)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python313() {
  local candidates=()
  command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
  if command -v pyenv >/dev/null 2>&1; then
    local root; root="$(pyenv root 2>/dev/null || true)"
    [ -n "$root" ] && candidates+=("$root"/versions/3.13*/bin/python3.13)
  fi
  candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13)
  for c in "${candidates[@]}"; do
    # pyenv shims exist even when the version is not selected; only a working interpreter counts.
    if [ -x "$c" ] && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      echo "$c"; return 0
    fi
  done
  return 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  PY="$(find_python313)" || { echo "setup: no Python 3.13 interpreter found (install one, e.g. with pyenv)" >&2; exit 1; }
  echo "setup: creating .venv with $PY"
  rm -rf .venv
  "$PY" -m venv .venv
fi

if ! .venv/bin/python -c 'import pytest, numpy, nibabel, matplotlib, jinja2, selenium, scikit_build_core, hypothesis, distributed, tqdm' >/dev/null 2>&1; then
  echo "setup: installing Python packages into .venv"
  # Some machines point pip at extra local indexes that may be absent; those warnings are noise here.
  .venv/bin/python -m pip install -q --disable-pip-version-check "${PY_PACKAGES[@]}" 2> >(grep -v '^WARNING: Location' >&2)
fi
