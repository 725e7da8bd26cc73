#!/bin/sh
# The FreeBSD rc.d script under a stand-in rc.subr, with its absolute paths
# moved into a scratch root: the daemon(8) command line it builds, the
# socket directory it creates, the configuration check it runs before start
# and restart, the rc.conf settings it refuses, and its start-up check
# against the real daemon, which a stand-in daemon(8) runs in the background.
# Every command's output is read through a pipe, as x=$(service ...) does.
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

mkdir -p "$root/bin" "$root/usr/sbin" "$root/usr/local/sbin" "$root/usr/local/bin" \
	"$root/usr/local/etc" "$root/var/run" "$root/var/log" "$root/var/db/vellumgard"
ln -s "$bin/vellumgard" "$root/usr/local/sbin/vellumgard"
sed -e "s|%%PREFIX%%|$root/usr/local|g" -e "s|/var/|$root/var/|g" \
	-e "s|/usr/sbin/daemon|$root/usr/sbin/daemon|" -e "s|/etc/rc.subr|$src/tests/contrib/rc.subr|" \
	"$src/contrib/freebsd/port/files/vellumgard.in" >"$root/rc.d"
sed -e "s|/var/|$root/var/|g" "$src/contrib/vellumgard.conf.sample" >"$root/sample.conf"

# Stand-in for daemon(8), from its source: the supervisor it leaves behind
# keeps the caller's standard descriptors open for the daemon's lifetime
# (daemon(3) with noclose), unless -f gives it /dev/null; the daemon's
# output goes to "syslog", here $root/daemon.log; the pid files are removed
# when the daemon exits.
cat >"$root/usr/sbin/daemon" <<'EOF_DAEMON'
#!/bin/sh
root=$(cd "$(dirname "$0")/../.." && pwd)
close=0
while getopts fP:p:u:Sl:s:T: opt; do
	case $opt in
	f) close=1 ;;
	P) ppidfile=$OPTARG ;;
	p) pidfile=$OPTARG ;;
	*) ;;
	esac
done
shift $((OPTIND - 1))
if [ "$close" = 1 ]; then
	exec </dev/null >/dev/null 2>&1
fi
: >"$pidfile"
# sh gives an asynchronous list /dev/null as input unless told otherwise.
exec 3<&0
(
	"$@" >/dev/null 2>>"$root/daemon.log" &
	echo $! >"$pidfile"
	wait $! || true
	rm -f "$pidfile" "$ppidfile"
) <&3 &
echo $! >"$ppidfile"
EOF_DAEMON
# Stand-in for install(1) -d: records its arguments, creates the directory.
cat >"$root/bin/install" <<'EOF_INSTALL'
#!/bin/sh
root=$(cd "$(dirname "$0")/.." && pwd)
printf '%s\n' "$@" >"$root/install.args"
for dir; do :; done
mkdir -p -m 0750 "$dir"
EOF_INSTALL
# Stand-in for chown(1), for run-as users that do not exist here: records
# its arguments.
cat >"$root/bin/chown" <<'EOF_CHOWN'
#!/bin/sh
root=$(cd "$(dirname "$0")/.." && pwd)
printf '%s\n' "$@" >"$root/chown.args"
EOF_CHOWN
# Stand-in for id(1): the users that exist are the lines of $root/users.
cat >"$root/bin/id" <<'EOF_ID'
#!/bin/sh
root=$(cd "$(dirname "$0")/.." && pwd)
for user; do :; done
grep -qx "$user" "$root/users" 2>/dev/null
EOF_ID
# Stand-in for "vellumgard-key --check -c FILE -u USER", the configuration
# check, for the cases whose run-as users do not exist here: records its
# arguments and reports the one finding these tests plant, the misspelt key
# socket_mod. Case 6 runs the real one.
cat >"$root/usr/local/bin/vellumgard-key" <<'EOF_CHECK'
#!/bin/sh
root=$(cd "$(dirname "$0")/../../.." && pwd)
printf '%s\n' "$@" >"$root/check.args"
if [ "$#" -ne 5 ] || [ "$1" != --check ] || [ "$2" != -c ] || [ "$4" != -u ]; then
	exit 64
fi
if grep -q '^socket_mod[[:space:]]*=' "$3"; then
	echo "$3: [sasl] has an unknown key socket_mod (socket_mode?)"
	exit 1
fi
EOF_CHECK
chmod +x "$root/usr/sbin/daemon" "$root/bin/install" "$root/bin/chown" "$root/bin/id" \
	"$root/usr/local/bin/vellumgard-key"
: >"$root/users"

# run_rc COMMAND: runs "rc.d COMMAND" with the rc.conf given on standard
# input and reads its output through a pipe into $out; sets $status. A
# command that leaves the pipe open is cut off after 15 seconds by killing
# what daemon(8) started, and fails.
run_rc()
{
	cat >"$root/rc.conf"
	rm -f "$root/record" "$root/install.args" "$root/chown.args" "$root/check.args" "$root/hung"
	(
		sleep 15
		: >"$root/hung"
		kill "$(cat "$root/var/run/vellumgard_supervisor.pid")" 2>/dev/null
		kill "$(cat "$pidfile")" 2>/dev/null
	) >/dev/null 2>&1 &
	_watchdog=$!
	if out=$(RC_CONF=$root/rc.conf RC_RECORD=$root/record PATH="$root/bin:$PATH" \
		sh "$root/rc.d" "$1" 2>&1); then
		status=0
	else
		status=$?
	fi
	kill "$_watchdog" 2>/dev/null || true
	[ ! -e "$root/hung" ] || fail "rc.d $1 kept its caller's output open until cut off"
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
# a run-as user that rc.subr must not see, a configuration path with a space,
# the lock file a run as root left, handed to the run-as user. start returns
# at once with its output read through a pipe.
sock=$root/var/run/vellumgard/vellumgard.sock
mkdir -p "$root/var/run/vellumgard"
: >"$sock.lock"
conf="$root/usr/local/etc/vg conf"
cat "$root/sample.conf" - >"$conf" <<EOF
  socket = '$root/var/run/vellumgard/vellumgard.sock'
[other]
socket = /nowhere/other.sock
EOF
run_rc start <<EOF
vellumgard_enable=YES
vellumgard_config="$conf"
vellumgard_runas=vgrun
EOF
[ "$status" -eq 0 ] || fail "start with defaults: status $status: $out"
[ "$out" = "Starting vellumgard." ] || fail "start with defaults printed: $out"
expect_lines "$root/record" "$root/usr/sbin/daemon" -f -P "$root/var/run/vellumgard_supervisor.pid" \
	-p "$pidfile" -u vgrun -S -l authpriv -s notice -T vellumgard \
	"$root/usr/local/sbin/vellumgard" -c "$conf"
expect_lines "$root/install.args" -d -m 0750 -o vgrun -g postfix "$root/var/run/vellumgard"
expect_lines "$root/check.args" --check -c "$conf" -u vgrun
expect_lines "$root/chown.args" -h vgrun "$sock.lock"
case "$(ls -l "$sock" 2>/dev/null)" in
srw-rw----*) ;;
*) fail "socket $sock is not srw-rw----: $(ls -l "$sock" 2>&1)" ;;
esac
reply=$("$bin/vellumgard-auth" -s "$sock" -- some-password) && rc=0 || rc=$?
if [ "$rc" -ne 1 ] || [ "$reply" != "$(printf 'FAIL\t1\treason=authentication failed')" ]; then
	fail "vellumgard-auth through the socket: status $rc, reply '$reply'"
fi

# 2. A bad edit while it runs: configtest and restart report the finding,
# and restart leaves the running daemon alone.
running=$(cat "$pidfile")
cp "$conf" "$root/good.conf"
echo "socket_mod = 0600" >>"$conf"
for command in configtest restart; do
	run_rc "$command" <<EOF
vellumgard_enable=YES
vellumgard_config="$conf"
vellumgard_runas=vgrun
EOF
	[ "$status" -eq 1 ] || fail "$command with a misspelt key: status $status"
	case "$out" in
	*"unknown key socket_mod"*) ;;
	*) fail "$command did not print the finding: $out" ;;
	esac
	{ [ "$(cat "$pidfile" 2>/dev/null)" = "$running" ] && kill -0 "$running"; } ||
		fail "$command with a misspelt key stopped the running daemon"
done
cp "$root/good.conf" "$conf"
stop_daemon
mv "$sock.lock" "$root/lock.saved"
ln -s "$root/lock.saved" "$sock.lock"
run_rc configtest <<EOF
vellumgard_enable=YES
vellumgard_config="$conf"
vellumgard_runas=vgrun
EOF
case "$status:$out" in
1:*"$sock.lock is a symbolic link"*) ;;
*) fail "configtest with a linked lock file: status $status: $out" ;;
esac
[ ! -e "$root/chown.args" ] || fail "configtest handed a linked lock file over"
rm "$sock.lock"

# 3. The run-as user by default: vellumgard where it exists, else root with
# a note.
cp "$root/sample.conf" "$root/usr/local/etc/vellumgard.conf"
for users in vellumgard ""; do
	echo "$users" >"$root/users"
	run_rc configtest <<EOF
vellumgard_enable=YES
EOF
	[ "$status" -eq 0 ] || fail "configtest with users '$users': status $status: $out"
	expect_lines "$root/check.args" --check -c "$root/usr/local/etc/vellumgard.conf" \
		-u "${users:-root}"
	case "$users:$out" in
	vellumgard:) ;;
	:*"there is no user vellumgard: running as root"*) ;;
	*) fail "configtest with users '$users' printed: $out" ;;
	esac
done

# 4. A daemon that exits at start-up past a clean check (the stand-in's:
# the real one names the regular file where the socket goes), with the
# former run-as knob and the retired log file setting: the postcmd says so
# and names the log.
occupied=$root/var/run/occupied.sock
printf '[sasl]\nsocket = %s\ncache_dir = %s\n' "$occupied" "$root/var/db/vellumgard" \
	>"$root/usr/local/etc/bad.conf"
: >"$occupied"
: >"$root/daemon.log"
run_rc start <<EOF
vellumgard_enable=YES
vellumgard_config=$root/usr/local/etc/bad.conf
vellumgard_logfile="$root/var/log/vg log"
vellumgard_user=olduser
vellumgard_rundir=""
EOF
[ "$status" -eq 1 ] || fail "start of a failing daemon: status $status"
case "$out" in
*"vellumgard_logfile is no longer used"*"vellumgard exited at start-up; the reason is in $root/var/log/auth.log"*) ;;
*) fail "no start-up failure message: $out" ;;
esac
grep -qx "error: AddressInUse" "$root/daemon.log" || fail "the daemon's log is not in daemon(8)'s output"
expect_lines "$root/record" "$root/usr/sbin/daemon" -f -P "$root/var/run/vellumgard_supervisor.pid" \
	-p "$pidfile" -u olduser -S -l authpriv -s notice -T vellumgard \
	"$root/usr/local/sbin/vellumgard" -c "$root/usr/local/etc/bad.conf"
[ ! -e "$root/install.args" ] || fail "vellumgard_rundir=\"\" still created a directory"

# 5. Refused before anything runs: a single quote, which cannot be carried
# through rc.subr's eval, and the settings rc.subr would hand to daemon(8).
quoted="$root/usr/local/etc/it's.conf"
cp "$root/sample.conf" "$quoted"
for setting in "vellumgard_config=\"$quoted\"|single quote" \
	"vellumgard_flags=\"-c $quoted\"|vellumgard_flags is not supported" \
	"vellumgard_program=$root/usr/local/sbin/vellumgard|vellumgard_program is not supported"; do
	run_rc start <<EOF
vellumgard_enable=YES
${setting%%|*}
EOF
	[ "$status" -eq 1 ] || fail "${setting%%|*}: status $status"
	case "$out" in
	*"${setting#*|}"*) ;;
	*) fail "${setting%%|*}: no refusal message: $out" ;;
	esac
	[ ! -e "$root/record" ] || fail "${setting%%|*} was run"
done

# 6. The real check behind configtest, as the user running the test: a
# clean configuration passes silently, the misspelt key is named.
ln -sf "$bin/vellumgard-key" "$root/usr/local/bin/vellumgard-key"
me=$(id -un)
for typo in "" "socket_mod = 0600"; do
	{
		cat "$root/sample.conf"
		echo "$typo"
	} >"$root/usr/local/etc/real.conf"
	run_rc configtest <<EOF
vellumgard_enable=YES
vellumgard_config=$root/usr/local/etc/real.conf
vellumgard_runas=$me
EOF
	case "$typo:$status:$out" in
	:0:) ;;
	socket_mod*:1:*"'socket_mod'"*) ;;
	*) fail "configtest with the real check and '$typo': status $status: $out" ;;
	esac
done

# 7. The chrooted layout of the manual and README: the socket in the mail
# server's private/ (mode 0700, closed to others) with socket_mode 0666,
# no socket directory of the script's and root as the run-as user. The
# real check must find it clean, and the daemon must start and answer.
if [ "$(id -u)" -ne 0 ]; then
	echo "rcd_test: not root: the chrooted layout, which checks as root, is skipped"
else
	private=$root/var/spool/postfix/private
	mkdir -p "$private"
	chmod 0700 "$private"
	sed -e "s|^socket = .*|socket = $private/vellumgard|" -e "s|^socket_mode = .*|socket_mode = 0666|" \
		"$root/sample.conf" >"$root/usr/local/etc/chroot.conf"
	run_rc start <<EOF
vellumgard_enable=YES
vellumgard_config=$root/usr/local/etc/chroot.conf
vellumgard_rundir=""
vellumgard_runas=""
EOF
	[ "$status:$out" = "0:Starting vellumgard." ] || fail "start in the chrooted layout: status $status: $out"
	"$bin/vellumgard-auth" --probe -s "$private/vellumgard" >/dev/null ||
		fail "the daemon in the chrooted layout does not answer"
	stop_daemon
fi

if [ "$failures" -gt 0 ]; then
	exit 1
fi
echo "rc.d script: command lines, socket directory, configuration check and start-up check as expected"
