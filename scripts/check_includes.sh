#!/usr/bin/env bash
# Fails on an #include that crosses the layers of the tree the wrong way.
#
#   scripts/check_includes.sh [ROOT]     (ROOT: the source tree, default the repo)
#
# The system's folders, from the bottom up: console/ builds on nothing; the
# others build on what the table below names (the relations of their
# subsystems); app/ is the top and may include any of them. Of app/, the
# lower folders may include app/settings.h alone (the settings and the key
# constants). A folder
# always includes its own files, and every folder may include the access
# library's header in include/ (as "PCIAccessDll.h").
#
# Outside the system: sim/ and pcie-linux/ are access libraries and include
# no system folder (sim/ shares pcie-linux/'s board claim and log code);
# tests/, bench/, fuzz/ and tools/ may include anything. A new top-level
# folder that holds a program (a source with main()) is a program folder
# beside app/: it may include anything, and only tests/, bench/, fuzz/ and
# tools/ may include it. Any other new folder with sources must get a line
# in the table first.
#
# Only quoted includes are checked; <...> names the host's headers.
set -uo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root" || exit 2

declare -A may=(
  [console]=""
  [config]="console app/settings.h"
  [board]="console config"
  [uart]="console board"
  [terminal]="console config uart app/settings.h"
  [widgets]="console config app/settings.h"
  [bridge]="console config board uart terminal app/settings.h"
  [app]="console config board uart terminal widgets bridge"
  [sim]="pcie-linux"
  [pcie-linux]=""
  [include]=""
)
free_folders=" tests bench fuzz tools "

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
    '*.h' '*.hpp' '*.c' '*.cc' '*.cpp')
else
  mapfile -t files < <(find . -path './build*' -prune -o -type f \
    \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \) \
    -printf '%P\n')
fi

# Program folders: top-level folders outside the table that hold a main().
declare -A program=()
for file in "${files[@]}"; do
  folder=${file%%/*}
  [ "$folder" = "$file" ] && continue
  [[ -v may[$folder] || $free_folders == *" $folder "* ]] && continue
  if grep -Eq '^[[:space:]]*int[[:space:]]+main[[:space:]]*\(' "$file"; then
    program[$folder]=1
  fi
done

errors=0
fail() {
  echo "$1" >&2
  errors=$((errors + 1))
}

declare -A unknown_reported=()
for file in "${files[@]}"; do
  folder=${file%%/*}
  [ "$folder" = "$file" ] && continue
  if [[ $free_folders == *" $folder "* || -v program[$folder] ]]; then
    continue
  fi
  if [[ ! -v may[$folder] ]]; then
    if [[ ! -v unknown_reported[$folder] ]]; then
      fail "$folder/: a folder with sources but no rule in scripts/check_includes.sh"
      unknown_reported[$folder]=1
    fi
    continue
  fi
  while IFS=: read -r line target; do
    if [[ $target != */* ]]; then
      # A bare name: a file beside this one, or the access library's header.
      [ -e "$(dirname "$file")/$target" ] && continue
      [ -e "include/$target" ] && continue
      fail "$file:$line: \"$target\" is neither beside it nor in include/"
      continue
    fi
    to=${target%%/*}
    [ "$to" = "$folder" ] && continue
    [ "$to" = include ] && continue
    allowed=false
    for rule in ${may[$folder]}; do
      if [ "$rule" = "$to" ] || [ "$rule" = "$target" ]; then
        allowed=true
        break
      fi
    done
    $allowed && continue
    fail "$file:$line: includes $target; $folder/ may include only: ${may[$folder]:-its own files}"
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$file" |
    sed -E 's/^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1:\2/')
done

if [ $errors -ne 0 ]; then
  echo "check_includes: $errors include(s) against the layers" >&2
  exit 1
fi
echo "check_includes: ${#files[@]} files, every include within the layers"
