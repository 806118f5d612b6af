# bash completion for orvanectl: every command and its options, as each
# command's --help lists them (tests/completion_test.py holds the two
# together), and values where they have a known form. Completing never runs
# orvanectl: a device's PUID or MAC would need the network, so those are
# left to the person.

_orvanectl()
{
    local cur prev words cword split
    _init_completion -s -n : || return

    # The command is the first word that is not a global option; "event"
    # takes its own command along.
    local i command=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
        -*) ;;
        event)
            command=event
            ((i + 1 < cword)) && command="event ${words[i + 1]}"
            break ;;
        *)
            command=${words[i]}
            break ;;
        esac
    done

    case $prev in
    -i | --interface)
        COMPREPLY=($(compgen -W "$(command ls /sys/class/net 2>/dev/null)" -- "$cur"))
        return ;;
    --password-file | --socket)
        _filedir
        return ;;
    --listen)
        COMPREPLY=($(compgen -W "127.0.0.1:4446 [::1]:4446" -- "$cur"))
        __ltrim_colon_completions "$cur"
        return ;;
    -p | --port)
        [[ $command == "event listen" ]] && COMPREPLY=($(compgen -W "4445" -- "$cur"))
        return ;;
    -t | --timeout | -u | --user | --hostname | --iface | --static | --gateway | --dns | --wins | \
        -m | --module | --id | --time | -n | --count)
        return ;;
    esac
    $split && return

    local common="--json -h --help" records="--parsable"
    local segment="-i --interface --raw -t --timeout"
    local options=""
    case $command in
    "")
        options="--json --parsable -h --help -v --version"
        [[ $cur == -* ]] || options="browse configure discover dump event serve watch" ;;
    discover | watch)
        options="$segment $records $common" ;;
    configure)
        options="-u --user --password-file --password-stdin --hostname --iface --static --dhcp --gateway --dns
                 --wins $segment $records $common" ;;
    dump)
        if [[ $cur != -* ]]; then
            _filedir
            return
        fi
        options=$common ;;
    browse)
        options="-t --timeout --socket $records $common" ;;
    serve)
        options="--listen -i --interface $records $common" ;;
    event)
        options="send listen"
        [[ $cur == -* ]] && options=$common ;;
    "event send")
        options="-u --user -m --module --id -t --time $common" ;;
    "event listen")
        options="-u --user --password-file --password-stdin -p --port -n --count $common" ;;
    esac
    # Positional values (PUID, ADDRESS, KEY=VALUE) have no list to offer.
    [[ -n $command && $command != event && $cur != -* ]] && return
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
} && complete -F _orvanectl orvanectl
