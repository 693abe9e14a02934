#!/usr/bin/env bash
# padbridge.exe run by wine itself, as a host on Linux would run it, with standard input that is
# not a Windows pipe: a file, a Unix pipe, and /dev/null. Every line must be handled and the
# session must end with the normal shutdown, exit code 0.
# Usage: plain_stdin_test.sh WINE_RUN PREFIX PADBRIDGE_EXE VJOY_DLL LOG_DIR
set -u
wine_run=$1 prefix=$2 exe=$3 dll=$4 logs=$5
dll_windows="Z:$(printf '%s' "$dll" | tr / '\\')"

session=$(mktemp) expected=$(mktemp) actual=$(mktemp)
trap 'rm -f "$session" "$expected" "$actual"' EXIT

zeros='0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0'
printf '%s\n' \
  '{"type":"input","player":0,"axes":[1,0,0,0],"buttons":['"$zeros"']}' \
  '{"type":"input","player":1,"axes":[0,0,0,0],"buttons":['"$zeros"']}' \
  '{"type":"input","player":0,"axes":[0,1,0,0],"buttons":['"$zeros"']}' \
  '{"type":"remove","player":0}' \
  '{"type":"system-permission","enabled":true}' \
  '{"type":"probe"}' >"$session"

capabilities='{"type":"capabilities","os":"Windows","gamepadBackend":"vJoy DirectInput","vigemBus":"missing","gamepadAvailable":true,"textInput":true,"systemEnabled":false}'
printf '%s\r\n' "$capabilities" \
  '{"type":"device","player":0,"created":true,"backend":"vJoy DirectInput"}' \
  '{"type":"device","player":1,"created":true,"backend":"vJoy DirectInput"}' \
  '{"type":"device","player":0,"created":false}' \
  '{"type":"system-permission","enabled":true}' \
  "${capabilities/\"systemEnabled\":false/\"systemEnabled\":true}" \
  '{"type":"device","player":1,"created":false}' >"$expected"

failures=0
check() {  # name, exit code, log file
  if [ "$2" -ne 0 ] || ! cmp -s "$expected" "$actual"; then
    echo "FAIL $1: exit code $2, output:"; cat -A "$actual"; failures=$((failures + 1)); return
  fi
  # Both devices acquired and both given back.
  local acquired relinquished
  acquired=$(grep -c '^AcquireVJD' "$3") relinquished=$(grep -c '^RelinquishVJD' "$3")
  if [ "$acquired" -ne 2 ] || [ "$relinquished" -ne 2 ]; then
    echo "FAIL $1: $acquired acquisitions and $relinquished releases in the vJoy log"
    failures=$((failures + 1)); return
  fi
  echo "ok   $1"
}

run() {  # name; standard input comes from the caller
  local log="$logs/plain_stdin_$1.log"
  rm -f "$log"
  VJOY_DOUBLE_LOG="Z:$(printf '%s' "$log" | tr / '\\')" \
    "$wine_run" "$prefix" "$exe" --vjoy-dll "$dll_windows" >"$actual"
  local code=$?
  check "$1" "$code" "$log"
}

run file <"$session"
cat "$session" | run unix-pipe

# An input that ends at once: the start-up line, then the normal shutdown.
"$wine_run" "$prefix" "$exe" </dev/null >"$actual"
code=$?
printf '%s\r\n' "${capabilities/vJoy DirectInput\",\"vigemBus\":\"missing\",\"gamepadAvailable\":true/No gamepad driver installed\",\"vigemBus\":\"missing\",\"gamepadAvailable\":false}" >"$expected"
if [ "$code" -ne 0 ] || ! cmp -s "$expected" "$actual"; then
  echo "FAIL empty input: exit code $code, output:"; cat -A "$actual"; failures=$((failures + 1))
else
  echo "ok   empty input"
fi

[ "$failures" -eq 0 ]
