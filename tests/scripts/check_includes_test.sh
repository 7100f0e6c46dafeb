#!/usr/bin/env bash
# The include check on small trees of its own: each case plants one include
# and expects the check to pass or to fail naming that line.
set -uo pipefail
check=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# A tree with one file a folder, each including only what it may.
base_tree() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"/{console,config,board,uart,terminal,widgets,app,include,sim,pcie-linux,tests}
  cd "$work/tree" || exit 2
  printf '#pragma once\n' >console/console.h
  printf '#pragma once\n' >include/PCIAccessDll.h
  printf '#pragma once\n' >app/settings.h
  printf '#include "console/console.h"\n#include "app/settings.h"\n' >config/messages.h
  printf '#include "config/messages.h"\n#include "PCIAccessDll.h"\n' >board/board_io.h
  printf '#include "board/board_io.h"\n#include "console/console.h"\n' >uart/uart.h
  printf '#include "uart/uart.h"\n#include "app/settings.h"\n' >terminal/terminal.h
  printf '#include "config/messages.h"\n' >widgets/dir_list.h
  printf '#include "terminal/terminal.h"\n#include "widgets/dir_list.h"\n' >app/main.cpp
  printf '#include "pcie-linux/log.h"\n#include "include/PCIAccessDll.h"\n' >sim/access.cpp
  printf '#pragma once\n' >pcie-linux/log.h
  printf '#include "app/main.cpp"\n#include "sim/access.cpp"\n' >tests/all_test.cpp
}

# expect pass|fail, a description, and for fail the text the report must hold.
expect() {
  local want=$1 what=$2 text=${3:-}
  local out status
  out=$(bash "$check" "$work/tree" 2>&1)
  status=$?
  if [ "$want" = pass ] && [ $status -ne 0 ]; then
    echo "FAIL: $what: the check refused it: $out"
    failures=$((failures + 1))
  elif [ "$want" = fail ] && { [ $status -eq 0 ] || [[ $out != *"$text"* ]]; }; then
    echo "FAIL: $what: expected a report with '$text', got status $status: $out"
    failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}

base_tree
expect pass "every folder including what its layer allows"

base_tree
printf '#include "app/program.h"\n' >>board/board_io.h
expect fail "board including the program's start-up" "board/board_io.h:3: includes app/program.h"

base_tree
printf '#include "config/messages.h"\n' >>uart/uart.h
expect fail "the UART driver reaching the message routines" "uart/uart.h:3: includes config/messages.h"

base_tree
printf '#include "terminal/terminal.h"\n' >>console/console.h
expect fail "console reaching up" "console/console.h:2: includes terminal/terminal.h"

base_tree
printf '#include "console/console.h"\n' >>sim/access.cpp
expect fail "the simulator including a system folder" "sim/access.cpp:3: includes console/console.h"

base_tree
mkdir -p bridge
printf '#include "app/settings.h"\n#include "terminal/terminal.h"\nint main() {}\n' >bridge/main.cpp
expect pass "a new program folder beside app/"
printf '#include "bridge/main.cpp"\n' >>widgets/dir_list.h
expect fail "a system folder including a program folder" "widgets/dir_list.h:2: includes bridge/main.cpp"

base_tree
mkdir -p extra
printf '#pragma once\n' >extra/util.h
expect fail "a new folder without a rule" "extra/: a folder with sources but no rule"

base_tree
printf '#include "missing.h"\n' >>widgets/dir_list.h
expect fail "a bare name that is nowhere" "widgets/dir_list.h:2: \"missing.h\" is neither"

[ $failures -eq 0 ]
