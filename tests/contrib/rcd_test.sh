#!/bin/sh
# The FreeBSD rc.d script under a stand-in rc.subr, with its absolute paths
# moved into a scratch root: the daemon(8) command line it builds, the
# socket directory it creates, and its start-up check against the real
# daemon, which a stand-in daemon(8) runs in the background.
# Usage: rcd_test.sh SOURCE_DIR BIN_DIR
set -eu
src=$1
bin=$2
root=$(mktemp -d)
case "$root" in
*/usr/* | */var/* | *[!A-Za-z0-9/._-]*)
	echo "rcd_test: unusable scratch directory $root" >&2
	exit 1
	;;
esac
pidfile=$root/var/run/vellumgard.pid
failures=0

fail()
{
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}

stop_daemon()
{
	if [ -s "$pidfile" ]; then
		kill "$(cat "$pidfile")" 2>/dev/null || true
	fi
	_tries=50
	while [ -e "$pidfile" ] && [ "$_tries" -gt 0 ]; do
		sleep 0.1
		_tries=$((_tries - 1))
	done
}

trap 'stop_daemon; rm -rf "$root"' EXIT

mkdir -p "$root/bin" "$root/usr/sbin" "$root/usr/local/sbin" "$root/usr/local/etc" \
	"$root/var/run" "$root/var/log" "$root/var/db/vellumgard"
ln -s "$bin/vellumgard" "$root/usr/local/sbin/vellumgard"
sed -e "s|%%PREFIX%%|$root/usr/local|g" -e "s|/var/|$root/var/|g" \
	-e "s|/usr/sbin/daemon|$root/usr/sbin/daemon|" -e "s|/etc/rc.subr|$src/tests/contrib/rc.subr|" \
	"$src/contrib/freebsd/port/files/vellumgard.in" >"$root/rc.d"
sed -e "s|/var/|$root/var/|g" "$src/contrib/vellumgard.conf.sample" >"$root/sample.conf"

# Stand-in for daemon(8): honours -p and -o, removes the pid file when the
# command exits.
cat >"$root/usr/sbin/daemon" <<'EOF'
#!/bin/sh
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/daemon.stderr
while getopts P:p:u:Ho:Sl:s:T: opt; do
	case $opt in
	p) pidfile=$OPTARG ;;
	o) out=$OPTARG ;;
	*) ;;
	esac
done
shift $((OPTIND - 1))
: >"$pidfile"
(
	"$@" </dev/null >/dev/null 2>>"$out" &
	echo $! >"$pidfile"
	wait $! || true
	rm -f "$pidfile"
) </dev/null >/dev/null 2>&1 &
EOF
# Stand-in for install(1) -d: records its arguments, creates the directory.
cat >"$root/bin/install" <<'EOF'
#!/bin/sh
root=$(cd "$(dirname "$0")/.." && pwd)
printf '%s\n' "$@" >"$root/install.args"
for dir; do :; done
mkdir -p -m 0750 "$dir"
EOF
chmod +x "$root/usr/sbin/daemon" "$root/bin/install"

# Runs "rc.d start" with the rc.conf given on standard input; sets $status.
run_start()
{
	cat >"$root/rc.conf"
	rm -f "$root/record" "$root/install.args"
	if RC_CONF=$root/rc.conf RC_RECORD=$root/record PATH="$root/bin:$PATH" \
		sh "$root/rc.d" start >"$root/out" 2>&1; then
		status=0
	else
		status=$?
	fi
}

# expect_lines FILE LINE...: FILE holds exactly these lines.
expect_lines()
{
	_file=$1
	shift
	printf '%s\n' "$@" >"$root/expected"
	if ! cmp -s "$root/expected" "$_file" 2>/dev/null; then
		fail "$_file differs:"
		diff "$root/expected" "$_file" >&2 || true
	fi
}

# 1. Defaults: syslog authpriv, the socket directory of the shipped sample,
# a run-as user that rc.subr must not see, a configuration path with a space.
conf="$root/usr/local/etc/vg conf"
cat "$root/sample.conf" - >"$conf" <<EOF
  socket = '$root/var/run/vellumgard/vellumgard.sock'
[other]
socket = /nowhere/other.sock
EOF
run_start <<EOF
vellumgard_enable=YES
vellumgard_config="$conf"
vellumgard_runas=vgrun
EOF
[ "$status" -eq 0 ] || fail "start with defaults: status $status"
[ ! -s "$root/out" ] || fail "start with defaults printed: $(cat "$root/out")"
expect_lines "$root/record" "$root/usr/sbin/daemon" -P "$root/var/run/vellumgard_supervisor.pid" \
	-p "$pidfile" -u vgrun -S -l authpriv -s notice -T vellumgard \
	"$root/usr/local/sbin/vellumgard" -c "$conf"
expect_lines "$root/install.args" -d -m 0750 -o vgrun -g postfix "$root/var/run/vellumgard"
sock=$root/var/run/vellumgard/vellumgard.sock
case "$(ls -l "$sock" 2>/dev/null)" in
srw-rw----*) ;;
*) fail "socket $sock is not srw-rw----: $(ls -l "$sock" 2>&1)" ;;
esac
reply=$("$bin/vellumgard-auth" -s "$sock" -- some-password) && rc=0 || rc=$?
if [ "$rc" -ne 1 ] || [ "$reply" != "$(printf 'FAIL\t1\treason=authentication failed')" ]; then
	fail "vellumgard-auth through the socket: status $rc, reply '$reply'"
fi
stop_daemon

# 2. A log file with a space, the former run-as knob, and a daemon that
# exits at start-up: the postcmd says so and names the log file.
printf '[sasl]\nhash_algorithm = SHA256\n' >"$root/usr/local/etc/bad.conf"
log="$root/var/log/vg log"
run_start <<EOF
vellumgard_enable=YES
vellumgard_config=$root/usr/local/etc/bad.conf
vellumgard_logfile="$log"
vellumgard_user=olduser
vellumgard_rundir=""
EOF
[ "$status" -eq 1 ] || fail "start of a failing daemon: status $status"
grep -qF "vellumgard exited at start-up; the reason is in $log" "$root/out" ||
	fail "no start-up failure message: $(cat "$root/out")"
grep -qx "error: InvalidValue" "$log" || fail "the daemon's log is not in '$log'"
expect_lines "$root/record" "$root/usr/sbin/daemon" -P "$root/var/run/vellumgard_supervisor.pid" \
	-p "$pidfile" -u olduser -H -o "$log" "$root/usr/local/sbin/vellumgard" \
	-c "$root/usr/local/etc/bad.conf"
[ ! -e "$root/install.args" ] || fail "vellumgard_rundir=\"\" still created a directory"

# 3. A single quote cannot be carried through rc.subr's eval: refused.
quoted="$root/usr/local/etc/it's.conf"
cp "$root/sample.conf" "$quoted"
run_start <<EOF
vellumgard_enable=YES
vellumgard_config="$quoted"
EOF
[ "$status" -eq 1 ] || fail "a single quote in the path: status $status"
grep -q "single quote" "$root/out" || fail "no refusal message: $(cat "$root/out")"
[ ! -e "$root/record" ] || fail "a path with a single quote was run"

if [ "$failures" -gt 0 ]; then
	exit 1
fi
echo "rc.d script: command lines, socket directory and start-up check as expected"
