#!/bin/sh
# Builds the Debian package of a build tree, as `make deb` does, extracts it without installing it
# and checks what it holds: a binary that runs, the man page, the completion, the documentation,
# and dependencies found from the linked libraries.
# Usage: deb_test.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "package test: $*" >&2
    exit 1
}

command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps is missing (scripts/install-deps.sh installs dpkg-dev)"
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
set -- "$work"/out/loglathe_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one loglathe_*.deb, found: $*"
deb=$1

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/loglathe" --version >"$work/version.txt" || fail "the packaged binary does not run"
grep -q '^Version: ' "$work/version.txt" || fail "unexpected version output: $(cat "$work/version.txt")"
for file in usr/share/man/man1/loglathe.1.gz usr/share/bash-completion/completions/loglathe \
    usr/share/doc/loglathe/README.md usr/share/doc/loglathe/LICENSE; do
    [ -f "$work/root/$file" ] || fail "the package has no /$file"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libre2 libargtable2; do
    echo "$depends" | grep -q "$library" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = loglathe ] || fail "wrong package name"
