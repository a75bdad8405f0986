# Bash completion for ostrin: its commands, the options each command takes, the orders of --sort and
# the drive letters of the local service. Needs nothing but bash itself (bash-completion is not used).
#
# The letters come from the service's OstrinNT.ini, the volume.X keys: the one in the working directory
# of the systemd unit OstrinNT.service (in $OSTRIN_SYSTEMD_DIR, else /etc/systemd/system), else the one
# in the current directory (where a service started by hand reads it); on Windows (Cygwin, MSYS2, Git
# Bash) the one in the system folder, and the letters of the machine's drives. Two small files are
# read and nothing is asked of the service; what cannot be read offers no letters.

_ostrin_commands="ls tree du find info help"
_ostrin_sort_keys="name size time none"

# The options a command takes; every command also takes the common ones.
_ostrin_options_of() {
  local common="--json --progress --no-progress --no-dialog --help --version --"
  case $1 in
    ls) echo "-l -R -a -d -h -t -S -1 --sort= -r $common" ;;
    tree) echo "-d -L --sort= -r $common" ;;
    find) echo "-type -name --sort= -r $common" ;;
    du) echo "-h -s --max-depth= --sort= -r $common" ;;
    info) echo "-h $common" ;;
    help) echo "--help --version" ;;
    *) echo "-l -R -a -d -h -t -S -1 -L -s --max-depth= -type -name --sort= -r $common" ;;
  esac
}

# The volume.X letters of one OstrinNT.ini, upper case, one a line.
_ostrin_letters_of_ini() {
  [ -r "$1" ] || return 1
  local line key
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%$'\r'}
    key=${line%%=*}
    [ "$key" != "$line" ] || continue
    key=${key//[[:space:]]/}
    [[ $key == [Vv][Oo][Ll][Uu][Mm][Ee].[A-Za-z] ]] || continue
    printf '%s\n' "${key: -1}" | tr '[:lower:]' '[:upper:]'
  done <"$1"
}

# The drive letters, each with its colon, one a line.
_ostrin_drive_letters() {
  local unit=${OSTRIN_SYSTEMD_DIR:-/etc/systemd/system}/OstrinNT.service folder="" ini="" line
  if [ -r "$unit" ]; then
    while IFS= read -r line; do
      case $line in WorkingDirectory=*) folder=${line#WorkingDirectory=} ;; esac
    done <"$unit"
    # The unit doubles a percent sign.
    folder=${folder//%%/%}
    [ -n "$folder" ] && ini=$folder/OstrinNT.ini
  fi
  case ${OSTYPE:-} in
    cygwin* | msys*)
      local system=${SYSTEMROOT:-${SystemRoot:-}}
      if [ -n "$system" ] && command -v cygpath >/dev/null 2>&1; then
        [ -r "$ini" ] || ini=$(cygpath -u "$system")/System32/OstrinNT.ini
      fi
      local drive
      for drive in /proc/cygdrive/?; do
        [ -d "$drive" ] && printf '%s\n' "${drive: -1}" | tr '[:lower:]' '[:upper:]'
      done
      ;;
  esac
  [ -r "$ini" ] || ini=OstrinNT.ini
  _ostrin_letters_of_ini "$ini"
} 2>/dev/null

# COMPREPLY for the word being completed, cur: the words given that start with it. Bash replaces only
# the part of the word after its last break character (':' and '=' usually are), so that part alone is
# offered.
_ostrin_reply() {
  local cur=$1 word
  shift
  local cut=""
  local i
  for ((i = ${#cur} - 1; i >= 0; i--)); do
    if [[ $COMP_WORDBREAKS == *"${cur:i:1}"* ]]; then
      cut=${cur:0:i+1}
      break
    fi
  done
  COMPREPLY=()
  for word in "$@"; do
    [[ $word == "$cur"* ]] && COMPREPLY+=("${word#"$cut"}")
  done
}

_ostrin() {
  # The words as the shell will pass them (bash's own COMP_WORDS are split at ':' and '=' as well).
  local line=${COMP_LINE:0:COMP_POINT}
  local -a words
  read -r -a words <<<"$line"
  [[ $line == *[[:space:]] || ${#words[@]} -eq 0 ]] && words+=("")
  local cur=${words[${#words[@]} - 1]}
  local command="" operands=0 ended=0 i word
  for ((i = 1; i < ${#words[@]} - 1; i++)); do
    word=${words[i]}
    if ((ended)) || [[ $word != -?* ]]; then
      if [ -z "$command" ]; then command=$word; else ((operands++)); fi
    elif [ "$word" = -- ]; then
      ended=1
    elif [[ $word == --sort || $word == --max-depth || $word == -L || $word == -type || $word == -name ]] &&
      ((i < ${#words[@]} - 2)); then
      ((i++))  # the option's value
    fi
  done
  local previous=""
  ((${#words[@]} > 1)) && previous=${words[${#words[@]} - 2]}

  local -a offered=()
  if [ "$previous" = --sort ] && ! ((ended)); then
    read -r -a offered <<<"$_ostrin_sort_keys"
  elif [ "$previous" = -type ] && ! ((ended)); then
    offered=(f d)
  elif [[ $previous == -name || $previous == -L || $previous == --max-depth ]] && ! ((ended)); then
    offered=()  # a pattern or a number of the user's
  elif [[ $cur == --sort=* ]] && ! ((ended)); then
    for word in $_ostrin_sort_keys; do offered+=("--sort=$word"); done
  elif [[ $cur == -* ]] && ! ((ended)); then
    read -r -a offered <<<"$(_ostrin_options_of "$command")"
  elif [ -z "$command" ] || { [ "$command" = help ] && ((operands == 0)); }; then
    read -r -a offered <<<"$_ostrin_commands"
  elif [ "$command" != help ] && ((operands == 0)); then
    local letter
    while IFS= read -r letter; do offered+=("$letter:"); done < <(_ostrin_drive_letters | sort -u)
    # A drive letter is matched in either case.
    cur=${cur^}
  fi
  _ostrin_reply "$cur" "${offered[@]}"
  # "--sort=", "--max-depth=" and "X:" go on with what follows them, so no blank is added.
  if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *[=:] ]]; then
    compopt -o nospace 2>/dev/null
  fi
  return 0
}

complete -F _ostrin ostrin ostrin.exe
