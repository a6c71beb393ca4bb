#!/usr/bin/env bash
# Times `verbulo --version` and `--help` as whole processes, without a display,
# and reports the package's size and installed size.
# Usage: bench/command-line.sh <build directory>
set -euo pipefail
build_dir=${1:-build}
binary=$build_dir/bin/verbulo
env -i PATH=/usr/bin:/bin hyperfine -N --warmup 3 --runs 30 "$binary --version" "$binary --help"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack --config "$build_dir/CPackConfig.cmake" -B "$scratch" >/dev/null
package=$(echo "$scratch"/verbulo_*_amd64.deb)
echo "package: $(stat -c %s "$package") bytes, installed: $(dpkg-deb -f "$package" Installed-Size) KiB"
