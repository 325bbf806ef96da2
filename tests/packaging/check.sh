#!/usr/bin/env bash
# Checks the files an operator installs: layout, service unit (under two
# prefixes), log rotation, ssh server drop-in and manual page.
# Usage: check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for prefix in /usr /usr/local; do
  root=$tmp/root$prefix
  DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null
  files=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
  units=.$prefix/lib/systemd/system/tunnel_keeper
  [ "$files" = "$(printf '%s\n' ./etc/logrotate.d/tunnel_keeper ./etc/ssh/sshd_config.d/tunnel_keeper.conf $units-metrics.service $units-metrics.timer $units.service .$prefix/sbin/tunnel_keeper .$prefix/sbin/tunnel_keeper-ctl .$prefix/sbin/tunnel_keeper-metrics .$prefix/share/man/man8/tunnel_keeper.8 .$prefix/share/tunnel_keeper/tunnel_keeper.rules.yml ./usr/share/pam-configs/tk-sshtmp | sort | tr '\n' ' ')" ] || fail "installed files: $files"
  # The unit as installed names the daemon under its own prefix; verify it
  # started from the copy under DESTDIR.
  unit=$root$prefix/lib/systemd/system/tunnel_keeper.service
  grep -qx "ExecStart=$prefix/sbin/tunnel_keeper -c" "$unit" || fail "ExecStart under $prefix"
  [ "$(grep -E '^StateDirectory(Mode)?=' "$unit" | tr '\n' ' ')" = "StateDirectory=tunnel_keeper StateDirectoryMode=0700 " ] || fail "state directory"
  # What the hardening rests on, beyond the exposure score: the capabilities, and that no program gains more.
  [ "$(grep -E '^(CapabilityBoundingSet|NoNewPrivileges)=' "$unit" | tr '\n' ' ')" = "CapabilityBoundingSet=CAP_CHOWN CAP_DAC_OVERRIDE CAP_FOWNER CAP_KILL CAP_NET_ADMIN CAP_AUDIT_WRITE CAP_BPF CAP_SYS_ADMIN NoNewPrivileges=yes " ] || fail "hardening: $(grep -E '^(CapabilityBoundingSet|NoNewPrivileges)=' "$unit")"
  grep -qx "ExecStart=$prefix/sbin/tunnel_keeper-metrics 55444 /var/lib/prometheus/node-exporter" "${unit%.service}-metrics.service" || fail "metrics ExecStart under $prefix"
  for u in tunnel_keeper.service tunnel_keeper-metrics.service; do
    sed "s|^ExecStart=|ExecStart=$root|" "$root$prefix/lib/systemd/system/$u" > "$tmp/$u"
  done
  cp "$root$prefix/lib/systemd/system/tunnel_keeper-metrics.timer" "$tmp/"
  out=$(cd "$tmp" && systemd-analyze verify --man=no tunnel_keeper.service tunnel_keeper-metrics.service tunnel_keeper-metrics.timer 2>&1) && [ -z "$out" ] || fail "units: $out"
  # The exposure the operator's own check gives: the daemon at most 4.5, the metrics service lower still.
  exposure() { systemd-analyze security --offline=true "$tmp/$1.service" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p'; }
  daemon=$(exposure tunnel_keeper) metrics=$(exposure tunnel_keeper-metrics)
  awk -v d="$daemon" -v m="$metrics" 'BEGIN { exit !(d != "" && m != "" && d <= 4.5 && m < d) }' || fail "exposure: daemon $daemon, metrics $metrics"
done
root=$tmp/root/usr

# The alert rules as installed, and their unit tests.
out=$(promtool check rules "$root/usr/share/tunnel_keeper/tunnel_keeper.rules.yml" 2>&1) && out=$(promtool test rules "$src/tests/packaging/rules_test.yml" 2>&1) || fail "alert rules: $out"

out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$src/packaging/tunnel_keeper.8" 2>&1 >/dev/null) && [ -z "$out" ] || fail "man: $out"

out=$(logrotate -d -s "$tmp/state" "$root/etc/logrotate.d/tunnel_keeper" 2>&1) && ! grep -qi "error" <<<"$out" && grep -q "copytruncate" "$root/etc/logrotate.d/tunnel_keeper" || fail "logrotate: $out"

ssh-keygen -q -t ed25519 -N '' -f "$tmp/hostkey"
printf 'HostKey %s/hostkey\nInclude %s/etc/ssh/sshd_config.d/*.conf\n' "$tmp" "$root" > "$tmp/sshd_config"
mkdir -p /run/sshd
settings() { /usr/sbin/sshd -T -f "$tmp/sshd_config" -C "user=$1,host=device,addr=192.0.2.7" | grep -E "^(allowtcpforwarding|allowstreamlocalforwarding|permittty|x11forwarding|allowagentforwarding|clientaliveinterval|clientalivecountmax) " | sort | tr '\n' ' '; }
[ "$(settings sshtmp_Ab3dE9xQ)" = "allowagentforwarding no allowstreamlocalforwarding no allowtcpforwarding remote clientalivecountmax 3 clientaliveinterval 15 permittty no x11forwarding no " ] || fail "drop-in for sshtmp_: $(settings sshtmp_Ab3dE9xQ)"
[ "$(settings alice)" = "allowagentforwarding yes allowstreamlocalforwarding yes allowtcpforwarding yes clientalivecountmax 3 clientaliveinterval 0 permittty yes x11forwarding no " ] || fail "drop-in leaks to other users: $(settings alice)"
# One version: CMake's, the package's and the client's.
version=$(sed -n 's/^project(tunnel_keeper VERSION \([^ ]*\) .*/\1/p' "$src/CMakeLists.txt"); [ -n "$version" ] && [ "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version) $("$build/tunnel_keeper-ctl" --version)" = "$version tunnel_keeper-ctl $version" ] || fail "version: CMake $version, changelog and client differ"

# Every relative link of the README and docs/ names a file that exists.
links=$(cd "$src" && for p in README.md docs/*.md; do grep -o '\]([^)#]*' "$p" | sed "s#^](#$(dirname "$p")/#"; done | grep -v -E '/[a-z]+:')
for link in $links; do [ -e "$src/$link" ] || fail "link to $link"; done

echo "packaging: all checks passed"
