#!/bin/sh
# Installs the build into a temporary DESTDIR and checks what a Debian user gets: the layout,
# a manual page that renders without warnings and tells every option, configuration key (with
# its default) and URL the program and README know, a sample configuration holding the
# defaults, and a systemd unit that systemd-analyze accepts.
# usage: install_test.sh BUILD_DIR SOURCE_DIR PREFIX
set -u
# Options such as -? are words here, not patterns.
set -f
build=$1
src=$2
prefix=$3

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dest=$tmp/dest
root=$dest$prefix
failures=0
fail() {
	echo "FAIL: $*"
	failures=$((failures + 1))
}

if ! DESTDIR=$dest "${CMAKE:-cmake}" --install "$build" >"$tmp/install.log" 2>&1; then
	cat "$tmp/install.log"
	echo "FAIL: cmake --install"
	exit 1
fi

[ -d "$root" ] || { cat "$tmp/install.log"; echo "FAIL: nothing installed below $prefix"; exit 1; }

# Layout: exactly these files, nothing the tests or the build leave behind.
expected="bin/dabgen
bin/dabmod
bin/dabserver
bin/eti2edi
bin/eti2rdi
lib/systemd/system/dabserver.service
lib/sysusers.d/dabserver.conf
share/dabserver/player/index.html
share/dabserver/player/loas.js
share/dabserver/player/player.js
share/doc/dabserver/dab.ini.sample
share/doc/dabserver/tools.md
share/man/man1/dabgen.1
share/man/man1/dabmod.1
share/man/man1/dabserver.1
share/man/man1/eti2edi.1
share/man/man1/eti2rdi.1"
# The player's decoder is there only when the registry could be reached at build time.
got=$(cd "$root" && find . -type f | sed 's|^\./||' | grep -v '^share/dabserver/player/decoder/' | LC_ALL=C sort)
if [ "$got" != "$expected" ]; then
	fail "installed files differ from the expected layout"
	printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got"
fi
for p in dabserver dabgen eti2rdi eti2edi; do
	[ -x "$root/bin/$p" ] || fail "bin/$p is not executable"
done
server=$root/bin/dabserver
page=$root/share/man/man1/dabserver.1
unit=$root/lib/systemd/system/dabserver.service

# render PAGE TEXT: the manual page renders without a warning.
render() {
	if command -v man >/dev/null 2>&1; then
		LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -l "$1" >"$2" 2>"$tmp/man.err"
		[ -s "$tmp/man.err" ] && { fail "man -l $1 warns:"; cat "$tmp/man.err"; }
	elif command -v groff >/dev/null 2>&1; then
		groff -man -Tutf8 -ww -rLL=100n "$1" 2>"$tmp/man.err" | col -b >"$2"
		[ -s "$tmp/man.err" ] && { fail "groff $1 warns:"; cat "$tmp/man.err"; }
	else
		fail "neither man nor groff to render $1: scripts/install-deps --test installs man-db"
	fi
	if command -v mandoc >/dev/null 2>&1; then
		mandoc -T lint -W warning "$1" >"$tmp/lint" 2>&1 || { fail "mandoc -T lint $1:"; cat "$tmp/lint"; }
	fi
	name=$(basename "$1" .1 | tr a-z A-Z)
	grep -q "^$name(1)" "$2" || fail "$1 has no title $name(1)"
}
text=$tmp/page.txt
render "$page" "$text"

# section NAME: the rendered text of one section
section() {
	awk -v s="$1" '/^[A-Z]/ { on = ($0 == s) ; next } on' "${2:-$text}"
}
# Sub-sections are indented by three blanks: the main options end where the decoder's begin.
section OPTIONS | awk '/^   [A-Z]/ { exit } { print }' >"$tmp/opts"
section OPTIONS | awk '/^   MOT/ { on = 1; next } /^   [A-Z]/ { on = 0 } on' >"$tmp/motopts"
section CONFIGURATION >"$tmp/keys"
section URLS >"$tmp/urls"

# has_tag FILE WORD: WORD is (one of) the tags of an entry: "       -h, -? text"
has_tag() {
	awk -v w="$2" '
		/^       [^ ]/ {
			s = substr($0, 8)
			while (match(s, /^[^ ,]+, /)) {
				if (substr(s, 1, RLENGTH - 2) == w) found = 1
				s = substr(s, RLENGTH + 1)
			}
			sub(/ .*/, "", s)
			if (s == w) found = 1
		}
		END { exit !found }' "$1"
}

# Every option of the usage text and of the decoder's usage text has its entry.
if ! "$server" -h >"$tmp/usage" 2>&1; then fail "dabserver -h does not exit 0"; fi
grep -q '^Usage:' "$tmp/usage" || fail "dabserver -h prints no usage"
opts=$(sed -n 's/^\(-[A-Za-z?]\) .*/\1/p' "$tmp/usage")
[ "$(echo "$opts" | wc -l)" -ge 20 ] || fail "too few options in the usage text: $opts"
for o in $opts -E; do
	has_tag "$tmp/opts" "$o" || fail "option $o is not in the manual page"
done
(cd "$tmp" && "$server" -M '?') >"$tmp/motusage" 2>&1
motopts=$(sed -n 's/^\(-[A-Za-z?]\) .*/\1/p' "$tmp/motusage")
[ "$(echo "$motopts" | wc -l)" -ge 5 ] || fail "too few decoder options: $motopts"
for o in $motopts -?; do
	has_tag "$tmp/motopts" "$o" || fail "decoder option $o is not in the manual page"
done

# The signal tools' pages have an entry for every option of their usage texts.
for tool in dabgen eti2rdi; do
	render "$root/share/man/man1/$tool.1" "$tmp/$tool.txt"
	section OPTIONS "$tmp/$tool.txt" >"$tmp/$tool.opts"
	"$root/bin/$tool" -h >"$tmp/$tool.usage" 2>&1
	topts=$(sed -n 's/^  \(-[A-Za-z]\) .*/\1/p' "$tmp/$tool.usage")
	[ "$(echo "$topts" | wc -l)" -ge 3 ] || fail "too few options in $tool -h: $topts"
	for o in $topts; do
		has_tag "$tmp/$tool.opts" "$o" || fail "option $o of $tool is not in its manual page"
	done
done

# Every key the server writes, with the default it writes, has its entry.
mkdir "$tmp/defaults" "$tmp/sample"
(cd "$tmp/defaults" && "$server" -w -h >/dev/null 2>&1)
[ -s "$tmp/defaults/dab.ini" ] || fail "dabserver -w wrote no dab.ini"
grep -v '^;' "$tmp/defaults/dab.ini" | grep . >"$tmp/defaults/keys"
[ "$(wc -l <"$tmp/defaults/keys")" -ge 16 ] || fail "too few keys written"
while read -r key value; do
	[ -n "$value" ] || value=empty
	has_tag "$tmp/keys" "$key" || { fail "key $key is not in the manual page"; continue; }
	entry=$(awk -v k="$key" '
		/^       [^ ]/ { on = ($1 == k) }
		on' "$tmp/keys" | tr -s ' \n' '  ')
	case $entry in
		*"Default: $value"*) ;;
		*) fail "key $key: the page does not say \"Default: $value\": $entry" ;;
	esac
done <"$tmp/defaults/keys"

# The sample holds every key, is read without a complaint and gives the defaults.
sample=$root/share/doc/dabserver/dab.ini.sample
while read -r key value; do
	grep -q "^$key " "$sample" || fail "key $key is not in dab.ini.sample"
done <"$tmp/defaults/keys"
cp "$sample" "$tmp/sample/dab.ini"
(cd "$tmp/sample" && "$server" -w -h) >"$tmp/sample/out" 2>&1
if grep -qi 'invalid\|warn' "$tmp/sample/out"; then
	fail "dab.ini.sample is read with complaints:"
	cat "$tmp/sample/out"
fi
grep -v '^;' "$tmp/sample/dab.ini" | grep . >"$tmp/sample/keys"
cmp -s "$tmp/defaults/keys" "$tmp/sample/keys" || {
	fail "dab.ini.sample does not give the defaults:"
	diff "$tmp/defaults/keys" "$tmp/sample/keys"
}

# The URLs of README's table have their entries.
urls=$(awk '/^## URLs/ { on = 1; next } /^## / { on = 0 } on' "$src/README.md" |
	sed -n 's/^| \(`[^|]*\)|.*/\1/p' | grep -o '`[^`]*`' | tr -d '`')
[ "$(echo "$urls" | wc -l)" -ge 10 ] || fail "too few URLs in README: $urls"
for u in $urls; do
	has_tag "$tmp/urls" "$u" || fail "URL $u of README is not in the manual page"
done

# The unit: its own user, its state directory as working directory, SIGINT, restarts, and the
# installed program.
for line in "User=dabserver" "WorkingDirectory=/var/lib/dabserver" "KillSignal=SIGINT" \
	"Restart=on-failure" "ExecStart=$prefix/bin/dabserver"; do
	grep -qx "$line" "$unit" || fail "the unit has no line $line"
done
grep -q '^StateDirectory=dabserver\( \|$\)' "$unit" || fail "the unit has no state directory dabserver"
grep -q '^u dabserver ' "$root/lib/sysusers.d/dabserver.conf" || fail "sysusers.d file creates no user dabserver"
if command -v systemd-sysusers >/dev/null 2>&1; then
	mkdir -p "$tmp/sysroot/etc"
	systemd-sysusers --root="$tmp/sysroot" --dry-run "$root/lib/sysusers.d/dabserver.conf" >"$tmp/sysusers" 2>&1 &&
		grep -q "Creating user 'dabserver'" "$tmp/sysusers" || { fail "systemd-sysusers:"; cat "$tmp/sysusers"; }
else
	echo "no systemd-sysusers: the sysusers.d file is not checked"
fi
if command -v systemd-analyze >/dev/null 2>&1; then
	# verify looks for ExecStart on this machine and for the page with man: point both into
	# the DESTDIR.
	mkdir "$tmp/unit"
	sed "s|^ExecStart=$prefix|ExecStart=$root|" "$unit" >"$tmp/unit/dabserver.service"
	if ! MANPATH=$root/share/man systemd-analyze verify "$tmp/unit/dabserver.service" >"$tmp/verify" 2>&1 ||
		grep -q . "$tmp/verify"; then
		fail "systemd-analyze verify:"
		cat "$tmp/verify"
	fi
else
	echo "no systemd-analyze: the unit is not verified"
fi

# As the unit runs it: no options, an empty working directory, stopped with SIGINT; it must
# end in order with status 0, or systemd would count the stop as a failure. The virtual
# module stands in for the device, and the port is the kernel's choice.
mkdir "$tmp/state"
(cd "$tmp/state" && exec "$server" -d "sim:$tmp/state" -p 0 -m) >"$tmp/state/out" 2>&1 &
pid=$!
i=0
while ! grep -q 'server is running' "$tmp/state/out" && [ $i -lt 100 ]; do sleep 0.2; i=$((i + 1)); done
grep -q 'server is running' "$tmp/state/out" || fail "the installed server did not start"
kill -INT $pid
i=0
while kill -0 $pid 2>/dev/null && [ $i -lt 100 ]; do sleep 0.2; i=$((i + 1)); done
if kill -0 $pid 2>/dev/null; then
	kill -KILL $pid
	fail "the server did not stop within 20 s of SIGINT"
fi
wait $pid
status=$?
[ $status -eq 0 ] || { fail "the server ended with status $status after SIGINT:"; tail -20 "$tmp/state/out"; }
grep -q goodbye "$tmp/state/out" || fail "the server did not stop in order after SIGINT"

if [ "$failures" -ne 0 ]; then
	echo "$failures failures"
	exit 1
fi
echo "install layout, manual page, sample and unit: ok"
