# bash completion for orvanectl: subcommands, their options, interface names
# for -i, files for the password and dump arguments.

_orvanectl()
{
    local cur prev words cword
    _init_completion || return

    local i command=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
        -*) ;;
        *) command=${words[i]}; [[ $command == event && $((i + 1)) -lt $cword ]] && command="event ${words[i + 1]}"; break ;;
        esac
    done

    case $prev in
    -i | --interface)
        COMPREPLY=($(compgen -W "$(ls /sys/class/net 2>/dev/null)" -- "$cur"))
        return ;;
    --password-file | --socket)
        _filedir
        return ;;
    -t | --timeout | -u | --user | --hostname | --iface | --static | --gateway | --dns | --wins | --module | --id | --time | --port | --count)
        return ;;
    esac

    local common="--json --parsable -h --help"
    local segment="-i --interface --raw -t --timeout"
    case $command in
    "")
        COMPREPLY=($(compgen -W "browse configure discover dump event watch --json --parsable -h --help -v --version" -- "$cur")) ;;
    discover | watch)
        COMPREPLY=($(compgen -W "$segment $common" -- "$cur")) ;;
    configure)
        COMPREPLY=($(compgen -W "-u --user --password-file --password-stdin --hostname --iface --static --dhcp --gateway --dns --wins $segment $common" -- "$cur")) ;;
    dump)
        [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$common" -- "$cur")) || _filedir ;;
    browse)
        COMPREPLY=($(compgen -W "-t --timeout --socket $common" -- "$cur")) ;;
    event)
        COMPREPLY=($(compgen -W "send listen" -- "$cur")) ;;
    "event send")
        COMPREPLY=($(compgen -W "--user --module --id --time $common" -- "$cur")) ;;
    "event listen")
        COMPREPLY=($(compgen -W "--user --password-file --password-stdin --port --count $common" -- "$cur")) ;;
    esac
} && complete -F _orvanectl orvanectl
