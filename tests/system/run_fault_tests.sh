#!/usr/bin/env bash
# Runs the fault tests one at a time and restarts the prefix's Wine session after each: a test
# that kills a registered local server leaves Wine's class table holding the dead process's class
# object, and every later activation of that class would fail. ctest runs this alone (RUN_SERIAL).
#   run_fault_tests.sh TEST_PROGRAM
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/env.sh"
program=$1
rc=0
for t in TheSpreadsheetKilledAsksClientsToLeaveAndTheTagsKeepTheirValues \
         TessarelKilledGivesItsClientsErrorsNotHangs \
         AnUnwritableLogFileLosesOnlyItsOwnLines; do
  "$PROJECT_TOP/scripts/wine-test" "$program" --gtest_filter="Faults.$t" || rc=1
  tessarel_start_wineserver
done
# Every test of the program ran: a test added to it but not to the list above fails here.
listed=$("$PROJECT_TOP/scripts/wine-test" "$program" --gtest_list_tests | grep -c '^  ')
[ "$listed" -eq 3 ] || { echo "run_fault_tests.sh: the program has $listed tests, 3 are run"; rc=1; }
exit $rc
