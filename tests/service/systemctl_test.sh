#!/usr/bin/env bash
# -i and -u under a running systemd: which systemctl commands they run, in which order; -u stops the
# service before it disables and deletes the unit. systemd and its unit folder are stand-ins in a
# mount namespace of the test's own (root only: skipped otherwise), systemctl a script that logs.
#   systemctl_test.sh HOST
set -euo pipefail
host=$1
if [ "${OSTRIN_IN_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    echo "skipped: needs root and mount namespaces"
    exit 77
  fi
  exec env OSTRIN_IN_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/system
mount -t tmpfs tmpfs /etc/systemd/system
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
printf '#!/bin/sh\necho "$*" >> %s/log\n' "$bin" >"$bin/systemctl"
chmod +x "$bin/systemctl"
unset OSTRIN_SYSTEMD_DIR

run() {
  local expected=$2 actual
  actual=$(PATH=$bin:$PATH "$host" "$1" | tail -n 1)
  [[ $actual == "$expected"* ]] || { echo "$1 printed '$actual', not '$expected'" >&2; exit 1; }
}
run -i "OstrinNT installed"
[ -f /etc/systemd/system/OstrinNT.service ] || { echo "-i wrote no unit" >&2; exit 1; }
run -u "OstrinNT removed."
[ ! -e /etc/systemd/system/OstrinNT.service ] || { echo "-u left the unit" >&2; exit 1; }

expected="daemon-reload
enable OstrinNT.service
stop OstrinNT.service
disable OstrinNT.service
daemon-reload"
if [ "$(cat "$bin/log")" != "$expected" ]; then
  echo "systemctl ran:" >&2
  cat "$bin/log" >&2
  echo "expected:" >&2
  echo "$expected" >&2
  exit 1
fi
echo "systemctl: $(tr '\n' ',' <"$bin/log")"
