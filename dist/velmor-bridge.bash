# bash completion for velmor-bridge: its options, and after --device the descriptions of the
# devices the driver library sees (velmor-bridge --list, with the --driver given so far).
_velmor_bridge()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local driver=() i
    for ((i = 1; i < COMP_CWORD - 1; i++)); do
        [[ ${COMP_WORDS[i]} == --driver ]] && driver=(--driver "${COMP_WORDS[i + 1]}")
    done

    case $prev in
    --device | --serial)
        # One device a line; the description, or the serial number, is its first field or second
        # (tab-separated), quoted for the command line.
        local field=1 line value
        [[ $prev == --serial ]] && field=2
        local IFS=$'\n'
        COMPREPLY=()
        for line in $(velmor-bridge --list "${driver[@]}" 2>/dev/null); do
            value=$(cut -f "$field" <<<"$line")
            [[ -n $value && $value == "${cur#[\"\']}"* ]] && COMPREPLY+=("$(printf '%q' "$value")")
        done
        return
        ;;
    --port)
        COMPREPLY=($(compgen -W "COM8 COM9 COM10 COM11 COM12 COM13" -- "$cur"))
        return
        ;;
    --driver | --log)
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        return
        ;;
    esac

    COMPREPLY=($(compgen -W "--device --serial --port --list --json --quiet --verbose --log
                             --driver --help --version" -- "$cur"))
}
complete -F _velmor_bridge velmor-bridge
