# bash completion for tessarin-cli
_tessarin_cli() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="list info image burn verify dump make-image"
  local global="--simulate --trace --json --help --version"

  case "$prev" in
    --trace|--backup) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --simulate) COMPREPLY=($(compgen -W "default none dir=" -- "$cur")); return ;;
    --device|--serial|--size|--version|--cur|--vid|--pid) return ;;
  esac

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      --simulate|--trace) ((i++)) ;;
      -*) ;;
      *) command="${words[i]}"; break ;;
    esac
  done

  local options
  case "$command" in
    "") COMPREPLY=($(compgen -W "$commands $global" -- "$cur")); return ;;
    list) options="--all" ;;
    info) options="--device" ;;
    image|verify) options="--device" ;;
    burn) options="--device --serial --backup --force" ;;
    dump) options="--device" ;;
    make-image) options="--size --version --cur --vid --pid" ;;
  esac
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$options $global" -- "$cur"))
  elif [[ "$command" == image || "$command" == burn || "$command" == verify ]]; then
    COMPREPLY=($(compgen -f -X '!*.rom' -- "$cur") $(compgen -d -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -F _tessarin_cli tessarin-cli
