#!/usr/bin/env bash
# lumhost on a real terminal: runs it in a detached tmux session under Wine, types commands with
# send-keys as a person would and reads the screen back with capture-pane. Checks that the typed
# commands, the help text and the exit list survive whole, that no timeline line is written over
# another, and that a half-typed command stays the bottom line while the timeline goes on. Then
# the timeline's live lines above a prompt, from a program that writes a fixed sequence.
#   typed_commands_in_tmux.sh <wine-run.sh> <lumhost.exe> <timeline_console_lines.exe>
# Exit 77 (skipped) when tmux is not installed.
set -euo pipefail
wine_run=$1
exe=$2
lines_exe=$3
command -v tmux >/dev/null 2>&1 || { echo "tmux is not installed: skipped"; exit 77; }

socket="lumhost-test-$$"
media=$(mktemp -d "${TMPDIR:-/tmp}/lumhost-tmux.XXXXXX")
screen="$media.screen"
cleanup() {
  tmux -L "$socket" kill-server >/dev/null 2>&1 || true
  rm -rf "$media" "$screen"
}
trap cleanup EXIT
head -c 2000 /dev/zero >"$media/clip.mp4"
head -c 1000 /dev/zero >"$media/tune.mp3"

fail() {
  echo "FAIL: $*" >&2
  echo "---- the terminal (history included):" >&2
  cat "$screen" >&2 || true
  exit 1
}
session=lumhost
capture() { tmux -L "$socket" capture-pane -p -J -S - -t "$session" >"$screen" 2>/dev/null || true; }
wait_for() { # wait_for <extended regex> <what>: until a line of the terminal matches
  local deadline=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$deadline" ]; do
    capture
    grep -Eq -- "$1" "$screen" && return 0
    sleep 0.5
  done
  fail "no $2 on the terminal within 60 s"
}
type_line() { tmux -L "$socket" send-keys -t lumhost -l -- "$1"; tmux -L "$socket" send-keys -t lumhost Enter; }

# A wide terminal, so that no timeline line wraps.
tmux -L "$socket" new-session -d -s lumhost -x 220 -y 50 \
  "'$wine_run' '$exe' --seconds 120 '$media'; echo \"[lumhost exit \$?]\"; sleep 600"

t='^ +\+[0-9]+\.[0-9]s  '
wait_for "${t}the plug-in listens to the content database$" "listening plug-in"
type_line "help"
wait_for '^  quit +End lumhost' "help text"
type_line "status"
wait_for "${t}status +engine state" "status line"
type_line "search full"
wait_for "${t}search ended +full search: done" "end of the full search"

# Half a command, then the timeline goes on: the typed text stays below the new lines.
tmux -L "$socket" send-keys -t lumhost -l -- "sta"
sleep 1
head -c 500 /dev/zero >"$media/late.jpg"
wait_for "${t}file added +late\.jpg " "timeline line for the new file"
last=$(grep -v '^ *$' "$screen" | tail -n 1)
[ "$last" = "> sta" ] || fail "the bottom line is \"$last\", not the half-typed \"> sta\""

tmux -L "$socket" send-keys -t lumhost BSpace BSpace BSpace
type_line "quit"
wait_for '^\[lumhost exit [0-9]+\]$' "end of lumhost"

grep -Eq '^\[lumhost exit 0\]$' "$screen" || fail "lumhost did not exit with 0"
# Every line the commands made, whole and in this order.
expected=(
  "${t}command +help$"
  '^Commands:$'
  '^  search MODE\[:MASK\[:FLAGS\]\] +Start a search'
  '^  help +This list$'
  '^  quit +End lumhost, as Ctrl\+C does$'
  "${t}command +status$"
  "${t}status +engine state "
  "${t}command +search full$"
  "${t}handed off +clip\.mp4 +category video"
  "${t}search ended +full search: done"
  "${t}file added +late\.jpg "
  "${t}command +quit$"
  "${t}ending: quit typed$"
  "${t}unregistered the plug-in$"
  '^What the plug-in did with the [0-9]+ file\(s\) it was told about:$'
  '^  late\.jpg +'
)
from=1
for pattern in "${expected[@]}"; do
  n=$(tail -n +"$from" "$screen" | grep -n -m1 -E -- "$pattern" | cut -d: -f1 || true)
  [ -n "$n" ] || fail "no line matching /$pattern/ after line $from"
  from=$((from + n))
done
# A line written over another shows two time stamps, or a prompt left in the text.
if grep -En '\+[0-9]+\.[0-9]s  .*\+[0-9]+\.[0-9]s  ' "$screen" >/dev/null; then
  fail "a timeline line was written over another: $(grep -En '\+[0-9]+\.[0-9]s  .*\+[0-9]+\.[0-9]s  ' "$screen" | head -n 1)"
fi
if grep -En '^> ' "$screen" >/dev/null; then
  fail "a prompt was left in the output: $(grep -En '^> ' "$screen" | head -n 1)"
fi

# Live lines above a prompt: each rewritten in place, a shorter one leaving nothing of the longer.
session=lines
tmux -L "$socket" new-session -d -s lines -x 100 -y 30 "'$wine_run' '$lines_exe'; echo \"[lines exit \$?]\"; sleep 600"
wait_for "${t}last line$" "last line of the timeline program"
capture
# Blanks that cleared the end of a longer line are no text.
shown=$(grep -v '^ *$' "$screen" | sed -E 's/ +$//')
expected_shown=$(printf '%s\n' "first line" "progress       bar 100%" "after the live line" "progress       short" \
  "last line" | sed -E 's/^/X/')
[ "$(sed -E 's/^ +\+[0-9]+\.[0-9]s  /X/' <<<"$shown")" = "$expected_shown"$'\n'"> search" ] ||
  fail "live lines above the prompt not as expected"
wait_for '^\[lines exit 0\]$' "end of the timeline program"
grep -Eq "${t}last line$" "$screen" && grep -Eq '^plain after the prompt$' "$screen" && ! grep -Eq '^> ' "$screen" ||
  fail "the prompt was not taken away"
echo "typed commands, help, exit list and live lines intact on a $(tmux -V) terminal"
