#!/usr/bin/env bash
# Writes zelhost's bash completion from its own help: the commands, and the
# options of zelhost and of each command as their --help lists them.
# Usage: completion.sh ZELHOST OUT
set -euo pipefail
zelhost=$1 out=$2
commands="info read write poll scan browse demo"

# The option names of one help text: "-p,--port TEXT ..." gives -p --port.
options() {
  "$@" --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n' | grep '^-' | sort -u | tr '\n' ' '
}

{
  echo "# bash completion for zelhost, made from its help"
  echo "_zelhost() {"
  echo '  local cur=${COMP_WORDS[COMP_CWORD]} command="" word'
  echo '  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do'
  echo "    case \$word in $(tr ' ' '|' <<<"$commands")) command=\$word; break ;; esac"
  echo "  done"
  echo '  local words'
  echo '  case $command in'
  echo "    \"\") words=\"$commands $(options "$zelhost")\" ;;"
  for c in $commands; do
    echo "    $c) words=\"$(options "$zelhost" "$c")\" ;;"
  done
  echo "  esac"
  echo '  COMPREPLY=()'
  echo '  case ${COMP_WORDS[COMP_CWORD-1]} in'
  echo '    --parity) COMPREPLY=($(compgen -W "none even odd mark space" -- "$cur")); return ;;'
  echo '    --stop-bits) COMPREPLY=($(compgen -W "1 2" -- "$cur")); return ;;'
  echo '  esac'
  echo '  case $cur in'
  echo '    -* | "") COMPREPLY=($(compgen -W "$words" -- "$cur")) ;;'
  echo "    *) [ -z \"\$command\" ] && COMPREPLY=(\$(compgen -W \"$commands\" -- \"\$cur\")) ;;"
  echo "  esac"
  echo "}"
  echo "complete -o default -F _zelhost zelhost"
} >"$out"
