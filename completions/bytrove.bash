# bash completion for bytrove                                  -*- shell-script -*-
#
# Before the pattern: the switch letters, the long options and "--"; after --threads (or
# --threads=) a thread count: 1 or the number of CPUs this shell may use. The values of
# --max-count, --range, --context, --include, --exclude and --exclude-dir are free text, and none
# of them is taken for the pattern.
# After --patterns (or --patterns=) a file name: the set file. With a set there is no pattern, so
# the first word that is not a switch is already a file argument.
# After the pattern (or that first file): the switches that still change something there
# (h, r, s, v) and "--", else file names. The pattern itself is free text, so nothing is offered
# for it.
#
# Works on its own (sourced from ~/.bashrc) and, when the bash-completion package is loaded,
# uses its word splitting so that file names holding ":" or "=" complete too.

_bytrove() {
  local cur words cword
  if declare -F _get_comp_words_by_ref >/dev/null; then
    _get_comp_words_by_ref -n =: cur words cword
  else
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${words[cword]}
  fi
  COMPREPLY=()

  # Which words touch the one before them on the line: without bash-completion, bash splits
  # --range=0:4 into "--range" "=" "0" ":" "4", and every piece is part of the value.
  local i line=${COMP_LINE-} gap glued=()
  for ((i = 0; i <= cword; i++)); do
    if [[ -z ${words[i]} ]]; then
      [[ -z $line ]] && glued[i]=$((i > 0)) || glued[i]=0
      break
    fi
    gap=${line%%"${words[i]}"*}
    glued[i]=$((i > 0 && ${#gap} == 0))
    line=${line:${#gap}+${#words[i]}}
  done

  # Where does the word being completed stand: before or after the pattern, and has a "--"
  # ended the switches? Is a pattern set given, and is the word part of an option's value?
  local word seen_pattern=0 options_ended=0 has_set=0 value_of= value_from=0
  for ((i = 1; i < cword; i++)); do
    word=${words[i]}
    if ((options_ended)); then
      seen_pattern=1
      break
    elif [[ $word == -- ]]; then
      options_ended=1
    elif [[ $word == --help || $word == --version ]]; then
      return 0  # the program stops right there: nothing after it is read
    elif [[ $word == --patterns=* ]]; then
      has_set=1  # one word with bash-completion
    elif [[ $word == --threads || $word == --max-count || $word == --range ||
      $word == --context || $word == --patterns || $word == --include || $word == --exclude ||
      $word == --exclude-dir ]]; then
      # Its value is the next word, never the pattern. Without bash-completion, bash splits
      # --threads=4 into "--threads" "=" "4", and --range 4K:1M into "--range" "4K" ":" "1M".
      [[ $word == --patterns ]] && has_set=1
      ((i++))
      [[ ${words[i]-} == = ]] && ((i++))
      value_from=$i
      while ((i + 1 <= cword && glued[i + 1])); do ((i++)); done
      ((i >= cword)) && value_of=$word
    elif [[ $word != [-/]* ]]; then
      # The pattern, or with a set the first file argument: either way the same things follow.
      seen_pattern=1
      break
    fi
  done
  if ((seen_pattern && !options_ended)); then
    for ((i = i + 1; i < cword; i++)); do
      [[ ${words[i]} == -- ]] && { options_ended=1; break; }
    done
  fi

  # The value of --patterns: a file name, after "--patterns", "--patterns=" or its "=". bash
  # replaces only the text after the last "=" or ":", so the offered names start there.
  if ((!seen_pattern && !options_ended)) && [[ $value_of == --patterns || $cur == --patterns=* ]]; then
    local value
    if [[ $cur == --patterns=* ]]; then
      value=${cur#--patterns=}
    else
      printf -v value %s "${words[@]:value_from:cword - value_from + 1}"
    fi
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$value")
    if [[ $value == *[=:]* ]]; then
      local before=${value%"${value##*[=:]}"}
      COMPREPLY=("${COMPREPLY[@]#"$before"}")
    fi
    return 0
  fi

  # The value of --threads: after "--threads", after "--threads=" (one word with bash-completion,
  # else "=" is a word of its own), or after its "=". bash replaces only the text after "=".
  if ((!seen_pattern && !options_ended)); then
    local value= is_value=0
    if [[ $cur == --threads=* ]]; then
      value=${cur#--threads=} is_value=1
    elif [[ $cur == = && ${words[cword - 1]} == --threads ]]; then
      is_value=1
    elif ((cword >= 2)) && [[ ${words[cword - 1]} == --threads ||
      (${words[cword - 1]} == = && ${words[cword - 2]} == --threads) ]]; then
      value=$cur is_value=1
    fi
    if ((is_value)); then
      local cpus
      cpus=$(command env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc 2>/dev/null)
      [[ $cpus =~ ^[1-9][0-9]*$ && $cpus != 1 ]] || cpus=
      mapfile -t COMPREPLY < <(compgen -W "1 $cpus" -- "$value")
      return 0
    fi
  fi

  if ((!options_ended)) && [[ $cur == -* ]]; then
    # After the pattern -i changes nothing (the pattern is already compiled) and the long
    # options are not recognised.
    local letters=hirsv long=(--help --version --progress --threads --count
      --files-with-matches --max-count= --range= --context= --utf16 --json --patterns= --null
      --include-zero --status --include= --exclude= --exclude-dir= --no-follow --color= --decompress --decompress= --)
    ((seen_pattern)) && { letters=hrsv; long=(--); }
    if [[ $cur == - ]]; then
      for ((i = 0; i < ${#letters}; i++)); do
        COMPREPLY+=("-${letters:i:1}")
      done
      COMPREPLY+=("${long[@]}")
    elif [[ $cur == --*=* ]]; then
      : # a value such as --range=0:4 (one word with bash-completion) is free text
    elif [[ $cur == --* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "${long[*]}" -- "$cur")
      # The value is typed right after the "=".
      [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
    elif [[ ${cur:1} =~ ^([${letters}${letters^^}][+-]?)+$ ]]; then
      # A well-formed group such as -ir: keep it, or turn its last letter explicitly on or
      # off. A group that already ends in + or - is complete.
      if [[ $cur == *[+-] ]]; then
        COMPREPLY=("$cur")
      else
        COMPREPLY=("$cur" "$cur+" "$cur-")
      fi
    fi
    return 0
  fi

  ((seen_pattern || has_set)) || return 0

  # A file argument: directories get their "/", odd names are quoted.
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  # bash replaces only the text after the last ":" or "=" of the word (they break words for
  # it), so the offered names must not repeat what stands before.
  if [[ $cur == *[=:]* ]]; then
    local before=${cur%"${cur##*[=:]}"}
    COMPREPLY=("${COMPREPLY[@]#"$before"}")
  fi
  return 0
}

complete -F _bytrove bytrove
