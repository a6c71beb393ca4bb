#!/usr/bin/env bash
# Stands in for curl in the GigaChat tests. Run N records under $FAKE_CURL_DIR/calls/N/ what it was
# given and its start time and process id, then answers from steps/N/ (or steps/default/): "body" to
# the --output file, "stdout", "stderr", "sleep" seconds (negative: a hung curl) and "exit" status.
set -u
dir="$FAKE_CURL_DIR"
n=$(( $(cat "$dir/count" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$dir/count"
call="$dir/calls/$n"
mkdir -p "$call"
date +%s.%N > "$call/time"
echo $$ > "$call/pid"
printf '%s\n' "$@" > "$call/args"
while [ $# -gt 1 ]; do
  case "$1" in --output) output="$2" ;; --config) config="$2" ;; --cacert) cacert="$2" ;; esac
  shift
done
workdir=$(dirname "$output")
echo "$workdir" > "$call/workdir"
stat -c %a "$workdir" "$cacert" "$config" "$output" | tr '\n' ' ' > "$call/perms"
cp "$config" "$call/conf"
cp "$cacert" "$call/ca.pem"
readlink /proc/$$/fd/0 > "$call/stdin-source"
if grep -qx -- --data-binary "$call/args"; then cat > "$call/stdin"; fi
step="$dir/steps/$n"
[ -d "$step" ] || step="$dir/steps/default"
cp "$step/body" "$output"
cat "$step/stdout"
cat "$step/stderr" >&2
case "$(cat "$step/sleep")" in -*) exec sleep infinity ;; *) sleep "$(cat "$step/sleep")" ;; esac
exit "$(cat "$step/exit")"
