#!/usr/bin/env bash
# remote-host end to end against the built module: a short script whose
# reports and summary are checked, then every kind of bad input. The same
# expectations hold natively and under Wine.
#
# usage: e2e.sh HOST MODULE NULL_FACTORY REFUSING NO_EXPORT [PATH_PREFIX]
#   HOST may be a command with arguments ("wine remote-host.exe");
#   PATH_PREFIX is put before every absolute path handed to HOST ("Z:").
set -u
host=$1 module=$2 null_factory=$3 refusing=$4 no_export=$5 prefix=${6:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

check() {  # check DESCRIPTION CONDITION...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    echo "--- output:"; cat "$work/out"; echo "--- errors:"; cat "$work/err"; echo "---"
  fi
}
run() {  # run ARGS...: the host's output in out and err, its status in $status
  timeout 120 $host "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
}
has() { grep -qF -- "$1" "$work/$2"; }
count() { grep -cF -- "$1" "$work/out"; }

mkdir "$work/run"
printf '[PYXRemote]\r\nKeyFirstDelay=400\r\nKeyRepeatDelay=200\r\n' >"$work/run/pyx.ini"
cp "$work/run/pyx.ini" "$work/ini.before"

run --library "$prefix$module" --dir "$prefix$work/run" \
  --script "Power:100 wait:500 code:4:200 wait:500 clear ChannelUp:1300 wait:100"
check "a script runs to the end" [ "$status" -eq 0 ]
check "Power is reported once" [ "$(count 'Key_Power          Power')" -eq 1 ]
check "ChannelUp held 1300 ms at 400/200 ms is reported 6 times" \
  [ "$(count 'Key_ChannelUp      ChannelUp')" -eq 6 ]
check "summary: Power" grep -qE '^  Key_Power +1 +1 ' "$work/out"
check "summary: ChannelUp" grep -qE '^  Key_ChannelUp +1 +6 +[0-9]+ +4[0-9][0-9] 2[0-9][0-9]( 2| x)' "$work/out"
check "summary: a code without a row" grep -qE '^  code 4 \(no row\) +1 +0 ' "$work/out"
check "the log lines this run added" has '  > KeyFirstDelay=400, KeyRepeatDelay=200' out
check "the farewell" has '  Tarvikon: Break event received. Bye!' out
check "the log is where it says" has 'PYXRemote.log' out
check "pyx.ini is left as it was" cmp -s "$work/run/pyx.ini" "$work/ini.before"

printf 'Power:50\n' >"$work/script"
timeout 60 $host --library "$prefix$module" --dir "$prefix$work/run" - <"$work/script" \
  >"$work/out" 2>"$work/err"
check "a script from standard input" [ $? -eq 0 ]
check "... is played" [ "$(count 'Key_Power          Power')" -eq 1 ]

run --library "$prefix$module" --dir "$prefix$work/run" --trace --script "wait:60"
check "--trace shows each register access" has "read  0x200 -> 0x00004000" out
check "--trace shows the enable write" has "write 0x118 <- 0x00008000" out

# A script file saved as UTF-16 by Notepad, with a key delay past Stop's wait.
mkdir "$work/late"
printf '[PYXRemote]\r\nKeyFirstDelay=6000\r\n' >"$work/late/pyx.ini"
printf '\xff\xfeP\0o\0w\0e\0r\0:\0\x31\0\x30\0\x30\0' >"$work/utf16.script"
run --library "$prefix$module" --dir "$prefix$work/late" --script-file "$prefix$work/utf16.script"
check "a UTF-16 script file plays" [ "$(count 'Key_Power          Power')" -eq 1 ]
check "the host says when Stop gave up waiting" has "Stop gave up waiting" out

# A key that pyx.ini moves is sent as its new code, and says so.
mkdir "$work/moved"
printf '[PYXRemote Keys]\r\nKey_Play=37\r\n' >"$work/moved/pyx.ini"
run --library "$prefix$module" --dir "$prefix$work/moved" --script "Play:100"
check "a moved key plays" [ "$status" -eq 0 ]
check "... is sent as its code" has "[Play:100] sends code 37, as pyx.ini moves Key_Play" out
check "... and reported" [ "$(count 'Key_Play           -')" -eq 1 ]

# A key given its own code moves nothing.
mkdir "$work/checked"
printf '[PYXRemote]\r\nKeyRepeatDeley=100\r\n[PYXRemote Keys]\r\nKey_Power=30\r\n=38\r\nKey_Play=37\r\n' \
  >"$work/checked/pyx.ini"
run --library "$prefix$module" --dir "$prefix$work/checked" --script "Power:100"
check "a key on its own code plays" [ "$(count 'Key_Power          Power')" -eq 1 ]
check "... and is not said to move" [ "$(count 'moves')" -eq 0 ]

# --settings: what pyx.ini sets, for the person at the TV; 1 with a finding.
run --settings --dir "$prefix$work/checked"
check "--settings with findings exits 1" [ "$status" -eq 1 ]
check "... names each with its line" \
  has "line 2: [PYXRemote] KeyRepeatDeley=100: no such setting (KeyRepeatDelay?), ignored" out
check "... a line with no name too" has 'line 5: [PYXRemote Keys] =38: no name before "=", ignored' out
check "... shows the key moved" grep -qE '^ +37  Key_Play +yes +moved here'$'\r''?$' "$work/out"
check "... and the key on its own code as it was" \
  grep -qE '^ +30  Key_Power +Power +yes'$'\r''?$' "$work/out"
run --settings --dir "$prefix$work/run"
check "--settings of a clean pyx.ini exits 0" [ "$status" -eq 0 ]
check "... says so" has "no findings" out
check "... with the delays it sets" grep -qE '^  KeyFirstDelay +400 ms' "$work/out"

expect_failure() {  # expect_failure STATUS MESSAGE ARGS...
  local want=$1 message=$2
  shift 2
  run "$@"
  check "exit $want and '$message' for: $*" [ "$status" -eq "$want" ]
  check "message for: $*" has "$message" err
}
expect_failure 2 "unknown key 'Foo'; known keys: TV/FM, CD" --library "$prefix$module" --script "Power Foo"
expect_failure 2 "bad duration 'x'" --library "$prefix$module" --script "Power:x"
expect_failure 2 "step 2: Key_Play has code 255" --library "$prefix$module" --dir "$prefix$work/run" --script "Power Play"
expect_failure 2 "bad code '99'" --library "$prefix$module" --script "code:99"
expect_failure 2 "nothing to play" --library "$prefix$module"
expect_failure 2 "--settings takes --dir only" --settings --script "Power"
expect_failure 2 "unknown argument '--nonsense'" --nonsense
expect_failure 2 "cannot read the script" --script-file "$prefix$work/none.txt"
expect_failure 1 "no such file" --library "$prefix$work/missing.lib" --script "Power"
printf 'not a library\n' >"$work/text.lib"
expect_failure 1 "cannot load" --library "$prefix$work/text.lib" --script "Power"
expect_failure 1 "has no export" --library "$prefix$no_export" --script "Power"
expect_failure 1 "returned no object" --library "$prefix$null_factory" --script "Power"
expect_failure 1 "refused Start (0x8000ffff)" --library "$prefix$refusing" --script "Power"
expect_failure 1 "cannot work in" --library "$prefix$module" --dir "$prefix$work/nowhere" --script "Power"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
