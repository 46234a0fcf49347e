# bash completion for vemloctl(1)

_vemloctl() {
    local cur prev command
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    command=${COMP_WORDS[1]}

    if [[ $COMP_CWORD -eq 1 ]]; then
        COMPREPLY=($(compgen -W 'install uninstall status lever help --help --version' -- "$cur"))
        return
    fi
    case $prev in
        --only)
            # A list: after "claude," offer only the names not given yet.
            local given=${cur%,*} name
            local -a left=()
            [[ $given == "$cur" ]] && given=""
            for name in claude codex cursor kimi copilot gemini; do
                [[ ",$given," == *",$name,"* ]] || left+=("$name")
            done
            [[ -n $given ]] && given+=","
            COMPREPLY=($(compgen -P "$given" -W "${left[*]}" -- "${cur##*,}"))
            compopt -o nospace 2>/dev/null
            return ;;
        --bin-dir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        --agent)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
    esac
    case $command in
        install) COMPREPLY=($(compgen -W '--only --dry-run --bin-dir --agent --help' -- "$cur")) ;;
        uninstall) COMPREPLY=($(compgen -W '--only --dry-run --bin-dir --help' -- "$cur")) ;;
        status) COMPREPLY=($(compgen -W '--only --help' -- "$cur")) ;;
        lever) [[ $COMP_CWORD -eq 2 ]] && COMPREPLY=($(compgen -W 'clear 0 1 --help' -- "$cur")) ;;
        help) [[ $COMP_CWORD -eq 2 ]] && COMPREPLY=($(compgen -W 'install uninstall status lever' -- "$cur")) ;;
    esac
}
complete -F _vemloctl vemloctl
