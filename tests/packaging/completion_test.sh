#!/usr/bin/env bash
# The bash completion of quillon as bash runs it: the script registers itself, and completes commands,
# options (the program's and the command's) and option values from the built program's help.
#   completion_test.sh COMPLETION_SCRIPT QUILLON_PROGRAM
set -uo pipefail
script=$(realpath "$1") program=$(realpath "$2")
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$program" "$bin/quillon"
PATH=$bin:$PATH
mkdir "$bin/vb"
cd "$bin"  # names offered: the file quillon and the folder vb
# shellcheck source=/dev/null
source "$script"

failed=0
registered=$(complete -p quillon 2>&1)
[ "$registered" = "complete -F _quillon quillon" ] || { echo "complete -p quillon: $registered"; failed=1; }

# What bash offers for the command line, the last word being completed.
offers() {
  read -r -a COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillon 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}"
}

# line | words the reply must hold | words it must not hold
while IFS='|' read -r line want refuse; do
  reply=$(offers "$line")
  for w in $want; do
    grep -qxF -- "$w" <<<"$reply" || { echo "'$line<TAB>' does not offer $w: $(echo $reply)"; failed=1; }
  done
  for w in $refuse; do
    if grep -qxF -- "$w" <<<"$reply"; then echo "'$line<TAB>' offers $w"; failed=1; fi
  done
done <<'TABLE'
quillon ide|identify|list
quillon |list identify check-fw format init virtual-finger help|--json
quillon --vi|--virtual|--virtual=
quillon --virtual /tmp/vb for|format|
quillon --json --quiet check|check-fw|
quillon format --f|--fs|--json
quillon format --cipher-size 48M --pub|--public-label|
quillon read-flash --|--address --output --binary --json --device|read-flash
quillon help upd|update-fw|help
quillon init --disk-size |quillon vb|--identify init
quillon --virtual |vb|quillon --json
TABLE

[ "$failed" -eq 0 ] && echo "completion: commands, options and values as expected"
exit "$failed"
