#!/usr/bin/env bash
# Runs a test of the 32-bit hosts where this machine can run them, and skips it (exit 77) where it
# cannot say anything about our libraries: when 32-bit threads do not keep their own thread
# environment block across an exception (ThreadProbe.cpp says why), a 32-bit process that makes or
# takes remote COM calls crashes sooner or later whatever the libraries do.
#   run_x86.sh PROBE_EXE RESULT_FILE [--always] COMMAND...
# The probe runs once per build tree; its answer is kept in RESULT_FILE. With --always the
# command runs in any case, with TESSAREL_X86_HOSTS=1 in its environment when the machine can run
# the 32-bit hosts. TESSAREL_X86_ALL=1 runs everything regardless (to see the crashes).
set -uo pipefail
probe=$1 result=$2
shift 2
always=0
[ "${1:-}" = "--always" ] && { always=1; shift; }
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -s "$result" ]; then
  # A cold 32-bit start under the emulator takes about a minute.
  answer=$("$here/../../scripts/wine-test" "$probe" 2>/dev/null | grep -a 'thread blocks' | tr -d '\r')
  [ -n "$answer" ] || answer="thread blocks (TEB): probe gave no answer"
  echo "$answer" >"$result.tmp" && mv "$result.tmp" "$result"
fi
answer=$(cat "$result")
echo "x86 platform: $answer"
sound=0
case "$answer" in *": kept") sound=1 ;; esac
[ -n "${TESSAREL_X86_ALL:-}" ] && sound=1

if [ $sound -eq 1 ]; then
  export TESSAREL_X86_HOSTS=1
elif [ $always -eq 0 ]; then
  echo "skipped: 32-bit processes on this machine cannot be trusted with remote COM calls (above)"
  exit 77
fi
"$@"
