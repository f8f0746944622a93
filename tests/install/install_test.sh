#!/bin/sh
# Installs a build tree into a staging folder, as `make install DESTDIR=... PREFIX=...` does, and
# checks what a user gets: the files, a man page that renders without warnings and documents every
# option, and a bash completion that loads and completes.
# Usage: install_test.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() {
    echo "install test: $*" >&2
    exit 1
}

DESTDIR="$stage" cmake --install "$build" --prefix /opt/loglathe >"$stage/install.log" 2>&1 ||
    { cat "$stage/install.log" >&2; fail "cmake --install failed"; }
root="$stage/opt/loglathe"
page="$root/share/man/man1/loglathe.1.gz"
completion="$root/share/bash-completion/completions/loglathe"
for file in bin/loglathe share/man/man1/loglathe.1.gz share/bash-completion/completions/loglathe \
    share/doc/loglathe/README.md share/doc/loglathe/LICENSE; do
    [ -f "$root/$file" ] || fail "missing $file"
done
[ -x "$root/bin/loglathe" ] || fail "bin/loglathe is not executable"
"$root/bin/loglathe" --version | grep -q '^Version: ' || fail "the installed binary does not run"
# Nothing beyond these files is installed.
count=$(find "$stage/opt" -type f | wc -l)
[ "$count" -eq 5 ] || fail "expected 5 installed files, found $count: $(find "$stage/opt" -type f)"

# The page renders without a single warning of man or groff.
command -v man >/dev/null || fail "man is missing (scripts/install-deps.sh installs man-db)"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$stage/page.txt" 2>"$stage/warnings.txt" ||
    fail "man -l failed: $(cat "$stage/warnings.txt")"
[ ! -s "$stage/warnings.txt" ] || fail "man page warnings: $(cat "$stage/warnings.txt")"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "INPUT SELECTION" OUTPUT "CSV FORMAT" PROGRESS \
    "EXIT STATUS" ENVIRONMENT EXAMPLES "SCALING OUT"; do
    grep -q "^$section\$" "$stage/page.txt" || fail "the man page has no section $section"
done
# Every long option of the usage is documented and completed.
"$root/bin/loglathe" --help >"$stage/help.txt" || true
options=$(grep -o '^  \(-[a-zA-Z], \)\?--[a-z0-9-]*' "$stage/help.txt" | sed 's/.*--/--/')
[ -n "$options" ] || fail "no options found in the usage"
for option in $options; do
    grep -q -- "$option" "$stage/page.txt" || fail "the man page does not document $option"
    grep -q -- "$option" "$completion" || fail "the completion does not offer $option"
done

bash "$here/completion_test.bash" "$completion"
