#!/usr/bin/env bash
# The Debian package, built by CPack from a build folder and inspected: its file list and
# modes, the control fields, the maintainer scripts (run against recording stand-ins for the
# system commands), the hardening of the systemd unit, the logrotate file, the manual pages
# against --help; then the extracted binaries serve a temporary program folder.
# Usage: package_test.sh BUILD_DIR. Prints "N passed, N failed".
set -uo pipefail
build=$1
work=$(mktemp -d)
server_pid=
cleanup() {
	[ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
	rm -rf "$work"
}
trap cleanup EXIT
passed=0
failed=0
check() {
	local what=$1
	shift
	if "$@"; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		echo "FAILED: $what"
	fi
}
has_line() { grep -qxF -- "$2" "$1"; }
lacks() { ! grep -q -- "$2" "$1"; }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
	cat "$work/cpack.log"
	echo "0 passed, 1 failed"
	exit 1
fi
deb=$(ls "$work"/out/kestrix_*_*.deb)

# --- Contents: exactly these files, owned by root, the password file readable by root only.
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort >"$work/files"
printf '%s\n' ./etc/default/kestrix ./etc/logrotate.d/kestrix ./usr/bin/kestrix ./usr/bin/kestrix-server \
	./usr/lib/systemd/system/kestrix.service ./usr/share/man/man1/kestrix-server.1.gz \
	./usr/share/man/man1/kestrix.1.gz >"$work/expected"
check "file list" diff -u "$work/expected" "$work/files"
check "everything owned by root" test -z "$(awk '$2 != "root/root"' "$work/contents")"
check "/etc/default/kestrix is 0600" grep -q '^-rw------- .* ./etc/default/kestrix$' "$work/contents"
check "programs are executable" test "$(grep -c '^-rwxr-xr-x .* ./usr/bin/' "$work/contents")" = 2

# --- Control fields and maintainer scripts.
dpkg-deb -e "$deb" "$work/control"
check "package name" has_line "$work/control/control" "Package: kestrix"
check "depends on passwd (useradd)" grep -q '^Depends: .*passwd' "$work/control/control"
check "conffiles" diff <(printf '%s\n' /etc/default/kestrix /etc/logrotate.d/kestrix) "$work/control/conffiles"
for script in postinst prerm postrm; do
	check "$script is an executable shell script" test -x "$work/control/$script"
	check "$script parses" sh -n "$work/control/$script"
done
check "purge keeps the program folder" lacks "$work/control/postrm" "rm -"

# postinst run with recording stand-ins: a fresh system gets the user, the group and the folder;
# a second configure (an upgrade) creates nothing again.
mkdir -p "$work/shims"
for cmd in groupadd useradd install chmod systemctl; do
	printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$cmd" "$work" >"$work/shims/$cmd"
done
printf '#!/bin/sh\n[ -f "%s/user-exists" ]\n' "$work" >"$work/shims/getent"
chmod +x "$work"/shims/*
PATH="$work/shims:$PATH" sh "$work/control/postinst" configure >/dev/null 2>&1
check "postinst exit status" test $? = 0
check "postinst creates the group" has_line "$work/calls" "groupadd --system kestrix"
check "postinst creates the system user" has_line "$work/calls" \
	"useradd --system --gid kestrix --home-dir /var/lib/kestrix --no-create-home --shell /usr/sbin/nologin --comment Kestrix server kestrix"
check "postinst creates the program folder" has_line "$work/calls" "install -d -o kestrix -g kestrix -m 0750 /var/lib/kestrix"
touch "$work/user-exists"
: >"$work/calls"
PATH="$work/shims:$PATH" sh "$work/control/postinst" configure 1.9.1 >/dev/null 2>&1
check "upgrade adds no user" lacks "$work/calls" "useradd\|groupadd"

# --- The unit: runs the server without a console as "kestrix", hardened.
dpkg-deb -x "$deb" "$work/root"
unit="$work/root/usr/lib/systemd/system/kestrix.service"
for line in "User=kestrix" "Group=kestrix" "WorkingDirectory=/var/lib/kestrix" \
	"ExecStart=/usr/bin/kestrix-server --dir /var/lib/kestrix --no-console" "StandardInput=null" \
	"Restart=on-failure" "NoNewPrivileges=yes" "ProtectSystem=strict" "PrivateTmp=yes" "ProtectHome=yes" \
	"PrivateDevices=yes" "CapabilityBoundingSet=" "AmbientCapabilities=" "RestrictSUIDSGID=yes" \
	"EnvironmentFile=-/etc/default/kestrix" "WantedBy=multi-user.target"; do
	check "unit: $line" has_line "$unit" "$line"
done
check "unit: only the program folder is writable" test "$(grep '^ReadWritePaths=' "$unit")" = "ReadWritePaths=/var/lib/kestrix"
if command -v systemd-analyze >/dev/null; then
	exposure=$(cd "$(dirname "$unit")" && systemd-analyze security --offline=yes kestrix.service 2>/dev/null |
		sed -n 's/.*Overall exposure level for kestrix.service: \([0-9.]*\).*/\1/p')
	check "unit exposure $exposure is at most 2.0" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }'
fi

# --- logrotate: the log files with their spaces, as the service's user, no copy-and-truncate.
rotate="$work/root/etc/logrotate.d/kestrix"
check "logrotate: the log files" grep -qF '"/var/lib/kestrix/* Log.txt" {' "$rotate"
check "logrotate: as the service's user" grep -qE '^\s*su kestrix kestrix$' "$rotate"
check "logrotate: compresses a rotated file one round later" grep -qE '^\s*delaycompress$' "$rotate"
check "logrotate: no copytruncate" lacks "$rotate" "^\s*copytruncate"

# --- Manual pages: every option --help names is in the page.
for prog in kestrix-server kestrix; do
	zcat "$work/root/usr/share/man/man1/$prog.1.gz" | sed 's/\\-/-/g' >"$work/$prog.man"
	check "$prog(1) has its NAME" grep -q "^$prog - " "$work/$prog.man"
	for opt in $("$work/root/usr/bin/$prog" --help | grep -oE '^  --[a-z-]+'); do
		check "$prog(1) documents $opt" grep -q -- "^.B $opt" "$work/$prog.man"
	done
done

# --- The extracted server serves a temporary folder; the extracted client talks to it.
dir="$work/data"
mkdir "$dir"
check "--check passes on an empty folder" "$work/root/usr/bin/kestrix-server" --check --dir "$dir" >/dev/null
# Starts the server on a free base port (tries a few), waits until it has started; $1: environment.
start_server() {
	for attempt in 1 2 3 4 5; do
		port=$((20000 + (RANDOM % 2000) * 8))
		"$work/root/usr/bin/kestrix-server" --dir "$dir" --set port=$port >/dev/null || return 1
		: >"$work/server.out"
		env "$@" "$work/root/usr/bin/kestrix-server" --dir "$dir" --no-console </dev/null >"$work/server.out" 2>&1 &
		server_pid=$!
		for _ in $(seq 200); do
			grep -q "Kestrix Server started" "$work/server.out" && return 0
			kill -0 "$server_pid" 2>/dev/null || break
			grep -q "Server Error" "$work/server.out" && break
			sleep 0.1
		done
		stop_server
	done
	return 1
}
stop_server() {
	kill -TERM "$server_pid" 2>/dev/null
	wait "$server_pid"
	local status=$?
	server_pid=
	return $status
}
check "the server starts as a service would" start_server INVOCATION_ID=0123456789abcdef
check "the service start says where the admin password goes" \
	grep -qF 'put KESTRIX_ADMIN_PASSWORD=... into /etc/default/kestrix (read by the service)' "$work/server.out"
check "it quits in order on SIGTERM" stop_server
check "the server starts with the admin password" start_server KESTRIX_ADMIN_PASSWORD=pw-for-test
KESTRIX_PASSWORD=pw-for-test "$work/root/usr/bin/kestrix" --login admin --name Tester "127.0.0.1:$port" users \
	>"$work/users.out" 2>&1
check "the client logs in and lists itself" grep -q "Tester" "$work/users.out"
check "it quits in order again" stop_server
check "--check still passes on the served folder" "$work/root/usr/bin/kestrix-server" --check --dir "$dir" >/dev/null

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
