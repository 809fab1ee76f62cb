# bash completion for untree, untree-pack, untree-list and untree-mount
#
#   untree [OPTION] ARCHIVE DESTINATION FILTER...
#                                       *.tree files, directories, paths inside ARCHIVE
#   untree -O ARCHIVE FILTER...         *.tree files, paths inside ARCHIVE
#   untree-pack SOURCE_DIR ARCHIVE      directories, files
#   untree-list [OPTION] ARCHIVE FILTER *.tree files, paths inside ARCHIVE
#   untree-mount [-f] [-o OPTIONS] ARCHIVE MOUNTPOINT
#                                       *.tree files, directories
#
# A FILTER is completed one name at a time, as a path is, with backslashes
# between names (the way the programs take it) and quoted for the shell the
# way the word was begun: 'docs\api\' or "docs\\api\\" or docs\\api\\.
# Needs nothing but bash; the bash-completion package loads it on demand.

# Every path inside archive $1 (at least those that start with $2), one a
# line, as FILTER spells them.
_untree_archive_paths() {
    local archive=$1 prefix=$2 untree=$3 line
    if type -P untree-list >/dev/null 2>&1; then
        untree-list --names "$archive" ${prefix:+"$prefix"} 2>/dev/null
        return
    fi
    # Without untree-list: untree lists every entry as "PATH N" and, with a
    # filter no path can agree with (a lone separator), selects nothing, so
    # nothing is created (it says so on standard error). The status line ends in a
    # carriage return and may share a line with the next entry.
    [[ -n $untree ]] || return
    "$untree" "$archive" . / 2>/dev/null | while IFS= read -r line; do
        line=${line##*$'\r'}
        case $line in
        *" -1") printf '%s\n' "${line% -1}" ;;
        *" 0" | *" 1") printf '%s\n' "${line% [01]}" ;;
        esac
    done
}

# Completes the FILTER word: the next name of every path under what is
# typed, a directory with its closing backslash and no space after it.
_untree_complete_filter() {
    local archive=$1 untree=$2 word=${COMP_WORDS[COMP_CWORD]}
    local quote="" prefix="" i c path rest name
    case $word in
    \'*) quote="'" prefix=${word#\'} prefix=${prefix%\'} ;;
    \"*) quote='"'
        word=${word#\"}
        for ((i = 0; i < ${#word}; i++)); do
            c=${word:i:1}
            if [[ $c == \\ && ${word:i+1:1} == [\\\"\$\`] ]]; then
                c=${word:i+1:1}
                ((i++))
            fi
            [[ $c == \" ]] && break
            prefix+=$c
        done ;;
    *)
        for ((i = 0; i < ${#word}; i++)); do
            c=${word:i:1}
            if [[ $c == \\ ]]; then
                ((i++))
                c=${word:i:1}
            fi
            prefix+=$c
        done ;;
    esac
    archive=${archive/#\~\//$HOME/}
    [[ -f $archive ]] || return
    local -A seen=()
    local candidates=()
    while IFS= read -r path; do
        [[ $path == "$prefix"* ]] || continue
        rest=${path:${#prefix}}
        [[ -n $rest ]] || continue
        if [[ $rest == *\\* ]]; then
            name=$prefix${rest%%\\*}\\
        else
            name=$path
        fi
        [[ -n ${seen[$name]} ]] && continue
        seen[$name]=1
        candidates+=("$name")
    done < <(_untree_archive_paths "$archive" "$prefix" "$untree")
    # A path that is also a directory of others is offered as the directory.
    COMPREPLY=()
    for name in "${candidates[@]}"; do
        [[ $name != *\\ && -n ${seen[$name\\]} ]] && continue
        case $quote in
        \') COMPREPLY+=("$name") ;;
        \") name=${name//\\/\\\\}; COMPREPLY+=("${name//\"/\\\"}") ;;
        *) COMPREPLY+=("$(printf '%q' "$name")") ;;
        esac
    done
    if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == *\\ ]]; then
        compopt -o nospace 2>/dev/null
    fi
}

_untree_complete_files() {  # $1: a -X pattern or ""
    compopt -o filenames 2>/dev/null
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ -n $1 ]]; then
        COMPREPLY=($(compgen -f -X "$1" -- "$cur") $(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}

# The program the command line names, to list archives with when
# untree-list is not installed.
_untree_program() {
    local program=${COMP_WORDS[0]/#\~\//$HOME/}
    [[ $program == */* ]] && { [[ -x $program ]] && printf '%s' "$program"; return; }
    type -P "$program"
}

# -h, --help and --version count only as the sole argument.
_untree_options() {
    [[ $COMP_CWORD == 1 && ${COMP_WORDS[1]} == -* ]] || return 1
    COMPREPLY=($(compgen -W $'-h\n--help\n--version' -- "${COMP_WORDS[1]}"))
}

_untree_complete_directories() {
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -d -- "${COMP_WORDS[COMP_CWORD]}"))
}

# Options come before ARCHIVE; -- or the first other word ends them.
_UNTREE_OPTIONS=(
    -q --quiet
    -O --to-stdout
    -k --keep-old-files
    --skip-old-files
    --keep-newer-files
    --overwrite-read-only
    -h --help
    --version
    --
)

_untree() {
    local IFS=$'\n' i first=0 to_stdout=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --) first=$((i + 1)); break ;;
        --to-stdout) to_stdout=1 ;;
        --*) ;;
        -?*) [[ ${COMP_WORDS[i]} == *O* ]] && to_stdout=1 ;;
        *) first=$i; break ;;
        esac
    done
    if ((first == 0)); then
        if [[ ${COMP_WORDS[COMP_CWORD]} == -* ]]; then
            COMPREPLY=($(compgen -W "${_UNTREE_OPTIONS[*]}" -- "${COMP_WORDS[COMP_CWORD]}"))
            return
        fi
        first=$COMP_CWORD
    fi
    # Which operand is being typed: 0 ARCHIVE, then DESTINATION (none with
    # -O), then FILTERs.
    local operand=$((COMP_CWORD - first))
    if ((operand == 0)); then
        _untree_complete_files '!*.tree'
    elif ((operand == 1)) && [[ -z $to_stdout ]]; then
        _untree_complete_directories
    else
        _untree_complete_filter "${COMP_WORDS[first]}" "$(_untree_program)"
    fi
}

_untree_pack() {
    local IFS=$'\n'
    _untree_options && return
    case $COMP_CWORD in
    1) _untree_complete_directories ;;
    2) _untree_complete_files "" ;;
    *) COMPREPLY=() ;;
    esac
}

_untree_list() {
    local IFS=$'\n' i positional=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -* ]] || ((positional++))
    done
    if [[ ${COMP_WORDS[COMP_CWORD]} == -* ]] && ((positional == 0)); then
        COMPREPLY=($(compgen -W $'--json\n--check\n--names\n--summary\n-h\n--help\n--version' \
            -- "${COMP_WORDS[COMP_CWORD]}"))
        return
    fi
    case $positional in
    0) _untree_complete_files '!*.tree' ;;
    1)
        for ((i = 1; i < COMP_CWORD; i++)); do
            [[ ${COMP_WORDS[i]} == -* ]] || break
        done
        _untree_complete_filter "${COMP_WORDS[i]}" "" ;;
    *) COMPREPLY=() ;;
    esac
}

_untree_mount() {
    local IFS=$'\n' i positional=0 done=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        if ((done)) || [[ ${COMP_WORDS[i]} != -* ]]; then
            [[ ${COMP_WORDS[i - 1]} == -o ]] && ((!done)) || ((positional++))
        fi
        [[ ${COMP_WORDS[i]} == -- ]] && done=1
    done
    if [[ ${COMP_WORDS[COMP_CWORD - 1]} == -o ]] && ((!done)); then
        COMPREPLY=($(compgen -W $'allow_other\nallow_root' -- "${COMP_WORDS[COMP_CWORD]}"))
        return
    fi
    if [[ ${COMP_WORDS[COMP_CWORD]} == -* ]] && ((positional == 0 && !done)); then
        COMPREPLY=($(compgen -W $'-f\n-o\n--\n-h\n--help\n--version' -- "${COMP_WORDS[COMP_CWORD]}"))
        return
    fi
    case $positional in
    0) _untree_complete_files '!*.tree' ;;
    1) _untree_complete_directories ;;
    *) COMPREPLY=() ;;
    esac
}

complete -F _untree untree
complete -F _untree_pack untree-pack
complete -F _untree_list untree-list
complete -F _untree_mount untree-mount
