# bash completion for velmor-bridge: its options, and after --device the descriptions of the
# devices the driver library sees (velmor-bridge --list, with the --driver given so far).
_velmor_bridge()
{
    # Names from the list are words, never patterns.
    local -
    set -f
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local driver=() i
    for ((i = 1; i < COMP_CWORD - 1; i++)); do
        [[ ${COMP_WORDS[i]} == --driver ]] && driver=(--driver "${COMP_WORDS[i + 1]}")
    done

    case $prev in
    --device | --serial | -d | -s)
        # The devices' descriptions or serial numbers, from the JSON form of the list (one field
        # a line there), quoted for the command line.
        local key=description value
        [[ $prev == --serial || $prev == -s ]] && key=serial
        local IFS=$'\n'
        COMPREPLY=()
        for value in $(velmor-bridge --list --json "${driver[@]}" 2>/dev/null |
            sed -n "s/^ *\"$key\": \"\\(.*\\)\",\\?\$/\\1/p" | sed 's/\\"/"/g; s/\\\\/\\/g' | sort -u); do
            [[ $value == "${cur#[\"\']}"* ]] && COMPREPLY+=("$(printf '%q' "$value")")
        done
        return
        ;;
    --port | -p)
        COMPREPLY=($(compgen -W "COM8 COM9 COM10 COM11 COM12 COM13" -- "$cur"))
        return
        ;;
    --closing-wait)
        COMPREPLY=($(compgen -W "0 5 30" -- "$cur"))
        return
        ;;
    --check-seconds)
        COMPREPLY=($(compgen -W "1 10 60" -- "$cur"))
        return
        ;;
    --driver | --log | -L)
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        return
        ;;
    esac

    COMPREPLY=($(compgen -W "--device --serial --port --wait --list --check --check-seconds --json
                             --quiet --verbose --log --closing-wait --driver --help --version" \
        -- "$cur"))
}
complete -F _velmor_bridge velmor-bridge
