#!/bin/sh
# Installs the Debian packages the build and the tests need, and only those that are missing.
# With `--fuzz`, also those of the fuzz build.
# Works on a fresh minimal Debian: runs apt-get directly as root, through sudo otherwise.
set -eu

# dpkg-dev (dpkg-shlibdeps) and man-db serve the package and man page checks of `make test`;
# clang-format its formatting check; parallel the scaling-out recipe's test.
packages="g++ cmake make pkgconf libgtest-dev libargtable2-dev libstb-dev libre2-dev python3 util-linux time git
          dpkg-dev man-db clang-format parallel"
# `--fuzz`: also the compiler and runtimes of the fuzz build (`make fuzz`); the sanitizer and fuzzer
# runtimes are only recommended by clang, so they are named here.
if [ "${1:-}" = "--fuzz" ]; then
    packages="$packages clang-14 libfuzzer-14-dev libclang-rt-14-dev"
fi

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

# python3 may come from elsewhere (a pyenv shim, say); it only has to run.
case " $missing " in
*" python3 "*)
    if command -v python3 >/dev/null 2>&1; then
        missing=$(echo "$missing" | sed 's/ python3//')
    fi
    ;;
esac

if [ -z "$(echo "$missing" | tr -d ' ')" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    run=""
elif command -v sudo >/dev/null 2>&1; then
    run="sudo"
else
    echo "install-deps: missing packages:$missing; run as root or install sudo" >&2
    exit 1
fi

echo "install-deps: installing$missing"
$run env DEBIAN_FRONTEND=noninteractive apt-get update
# shellcheck disable=SC2086
$run env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
