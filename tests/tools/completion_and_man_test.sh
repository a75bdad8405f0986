#!/usr/bin/env bash
# The bash completion of ostrin, sourced into bash and asked as bash asks it, and the two manual
# pages: each renders with man without a warning, and what `ostrin --help` lists is in the
# completion and in ostrin(1).
#   completion_and_man_test.sh COMPLETION OSTRIN OSTRIN.1 OSTRINNT.8
set -uo pipefail
completion=$(realpath "$1") ostrin=$2 page1=$3 page8=$4
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A service whose unit's working directory holds an OstrinNT.ini with two letters (one in lower case,
# one behind blanks) and a commented one.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/units" "$work/service 100%"
printf '[Service]\nWorkingDirectory=%s\n' "$work/service 100%%" >"$work/units/OstrinNT.service"
printf 'port = 49020\r\nvolume.s = /srv/s.img\r\n  Volume.C=/dev/sda1\n# volume.Q = /dev/sdq\nvolumes = 1\n' \
  >"$work/service 100%/OstrinNT.ini"

# What the completion offers for a command line typed up to its end.
offered() {
  OSTRIN_SYSTEMD_DIR=$work/units bash --norc --noprofile -c '
    source "$1"
    COMP_LINE=$2 COMP_POINT=${#2} COMP_WORDBREAKS=$'"'"' \t\n"'"'"'"'"'"'"'"'"'><=;|&(:'"'"'
    _ostrin
    echo "${COMPREPLY[*]}"' - "$completion" "$1"
}

# line typed | what is offered, in order
while IFS='|' read -r line expected; do
  [ -n "$line" ] || continue
  actual=$(offered "$line")
  [ "$actual" = "$expected" ] || fail "'$line' offers '$actual', not '$expected'"
done <<'CASES'
ostrin |ls tree du find info help
ostrin d|du
ostrin ls -|-l -R -a -d -h -t -S -1 --sort= -r --json --progress --no-progress --no-dialog --help --version --
ostrin tree -|-d -L --sort= -r --json --progress --no-progress --no-dialog --help --version --
ostrin du -|-h -s --max-depth= --sort= -r --json --progress --no-progress --no-dialog --help --version --
ostrin find -|-type -name --sort= -r --json --progress --no-progress --no-dialog --help --version --
ostrin find -type |f d
ostrin tree -L |
ostrin info -|-h --json --progress --no-progress --no-dialog --help --version --
ostrin -h ls --no-|--no-progress --no-dialog
ostrin du --sort=s|size
ostrin find --sort |name size time none
ostrin ls --sort s|size
ostrin ls --sort time |C: S:
ostrin info s|S:
ostrin help |ls tree du find info help
ostrin help ls |
ostrin find S: |
ostrin ls -- --|
CASES

# Without a readable unit or OstrinNT.ini nothing is offered for a drive, and nothing is printed.
quiet=$(cd "$work" && OSTRIN_SYSTEMD_DIR=$work/none bash --norc --noprofile -c \
  'source "$1"; COMP_LINE="ostrin ls "; COMP_POINT=10; _ostrin; echo "[${COMPREPLY[*]}]"' - "$completion" 2>&1)
[ "$quiet" = "[]" ] || fail "without a service the completion says '$quiet'"

# Every option of ostrin --help: offered to 'ostrin -', and in the manual page.
all=" $(offered 'ostrin -') "
options=$("$ostrin" --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr -d ',')
options="$options $("$ostrin" --help | sed -n 's/^  -[^ ]*, \(-[^ ]*\).*/\1/p')"
[ "$(wc -w <<<"$options")" -ge 10 ] || fail "ostrin --help lists only: $options"
for option in $options; do
  [[ $all == *" ${option%%=*}"[=\ ]* ]] || fail "the completion does not offer $option"
  name=${option%%=*}
  grep -q -- "${name//-/\\\\-}" "$page1" || fail "ostrin.1 does not name $option"
done
for command in $("$ostrin" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]*\) .*/\1/p'); do
  grep -q "^\.B ostrin $command\b" "$page1" || fail "ostrin.1 has no synopsis of $command"
done

# The pages render without a warning, with their name section.
for page in "$page1" "$page8"; do
  errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >"$work/rendered")
  [ -z "$errors" ] || fail "$page: $errors"
  grep -q '^NAME' "$work/rendered" || fail "$page renders no NAME section"
  grep -q '@[A-Z_]*@' "$page" && fail "$page holds an unreplaced @VARIABLE@"
done

[ "$failures" -eq 0 ] || exit 1
echo "completion and manual pages: all checks passed"
