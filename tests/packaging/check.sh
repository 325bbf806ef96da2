#!/usr/bin/env bash
# Checks the files an operator installs: layout, service unit, log rotation,
# ssh server drop-in and manual page. Usage: check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$tmp/root cmake --install "$build" >/dev/null
(cd "$tmp/root" && find . -type f | sort) > "$tmp/files"
diff -u - "$tmp/files" <<'LIST' || fail "installed files"
./etc/logrotate.d/tunnel_keeper
./etc/ssh/sshd_config.d/tunnel_keeper.conf
./usr/lib/systemd/system/tunnel_keeper.service
./usr/sbin/tunnel_keeper
./usr/share/man/man8/tunnel_keeper.8
LIST

# The unit as installed, started from the copy under DESTDIR.
sed "s|^ExecStart=|ExecStart=$tmp/root|" "$tmp/root/usr/lib/systemd/system/tunnel_keeper.service" > "$tmp/tunnel_keeper.service"
out=$(systemd-analyze verify --man=no "$tmp/tunnel_keeper.service" 2>&1) && [ -z "$out" ] || fail "unit: $out"

out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$src/packaging/tunnel_keeper.8" 2>&1 >/dev/null) && [ -z "$out" ] || fail "man: $out"

out=$(logrotate -d -s "$tmp/state" "$tmp/root/etc/logrotate.d/tunnel_keeper" 2>&1) || fail "logrotate: $out"
grep -q "copytruncate" <<<"$(cat "$tmp/root/etc/logrotate.d/tunnel_keeper")" && ! grep -qi "error" <<<"$out" || fail "logrotate: $out"

ssh-keygen -q -t ed25519 -N '' -f "$tmp/hostkey"
printf 'HostKey %s/hostkey\nInclude %s/root/etc/ssh/sshd_config.d/*.conf\n' "$tmp" "$tmp" > "$tmp/sshd_config"
mkdir -p /run/sshd
/usr/sbin/sshd -t -f "$tmp/sshd_config" || fail "sshd -t"
settings() { /usr/sbin/sshd -T -f "$tmp/sshd_config" -C "user=$1,host=device,addr=192.0.2.7" | grep -E "^(allowtcpforwarding|permittty|x11forwarding|allowagentforwarding|clientaliveinterval|clientalivecountmax) " | sort | tr '\n' ' '; }
[ "$(settings sshtmp_Ab3dE9xQ)" = "allowagentforwarding no allowtcpforwarding remote clientalivecountmax 3 clientaliveinterval 15 permittty no x11forwarding no " ] || fail "drop-in for sshtmp_: $(settings sshtmp_Ab3dE9xQ)"
[ "$(settings alice)" = "allowagentforwarding yes allowtcpforwarding yes clientalivecountmax 3 clientaliveinterval 0 permittty yes x11forwarding no " ] || fail "drop-in leaks to other users: $(settings alice)"
echo "packaging: all checks passed"
