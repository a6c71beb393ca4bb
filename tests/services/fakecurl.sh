#!/usr/bin/env bash
# Stands in for curl in the GigaChat tests. Every run records, under
# $FAKE_CURL_DIR/calls/N/, its arguments, the configuration and CA files, what
# arrived on standard input, where standard input came from, the permissions of
# the working directory and its files, and the time it started. It then answers
# from $FAKE_CURL_DIR/steps/N/ (or steps/default/): "body" is copied to the
# --output file, "stdout" and "stderr" are written, "sleep" seconds are waited,
# and "exit" gives the exit status (0 when absent); a negative "sleep" never
# exits, as a hung curl. Its process id is kept in "pid".
set -u
dir="$FAKE_CURL_DIR"
n=$(( $(cat "$dir/count" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$dir/count"
call="$dir/calls/$n"
mkdir -p "$call"
date +%s.%N > "$call/time"
echo $$ > "$call/pid"
printf '%s\n' "$@" > "$call/args"

output="" config="" cacert="" hasbody=""
while [ $# -gt 0 ]; do
  case "$1" in
    --output) output="$2"; shift ;;
    --config) config="$2"; shift ;;
    --cacert) cacert="$2"; shift ;;
    --data-binary) hasbody=1; shift ;;
  esac
  shift
done

workdir=$(dirname "$output")
echo "$workdir" > "$call/workdir"
{
  echo "directory $(stat -c %a "$workdir")"
  for f in "$cacert" "$config" "$output"; do echo "$(basename "$f") $(stat -c %a "$f")"; done
} > "$call/perms"
cp "$config" "$call/conf"
cp "$cacert" "$call/ca.pem"
readlink /proc/$$/fd/0 > "$call/stdin-source"
if [ -n "$hasbody" ]; then cat > "$call/stdin"; fi

step="$dir/steps/$n"
[ -d "$step" ] || step="$dir/steps/default"
[ -f "$step/body" ] && cp "$step/body" "$output"
[ -f "$step/stdout" ] && cat "$step/stdout"
[ -f "$step/stderr" ] && cat "$step/stderr" >&2
if [ -f "$step/sleep" ]; then
  case "$(cat "$step/sleep")" in -*) exec sleep infinity ;; *) sleep "$(cat "$step/sleep")" ;; esac
fi
exit "$(cat "$step/exit" 2>/dev/null || echo 0)"
