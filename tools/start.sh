#!/usr/bin/env bash
# Sets everything up and starts Quarrydesk.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: the desktop program needs one. Use the command line instead: build/cli/quarry --help"
  exit 1
fi
exec build/app/quarrydesk "$@"
