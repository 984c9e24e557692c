# bash completion for veltor. Installed to share/bash-completion/completions;
# a test checks the commands and options below against `veltor --help`.

_veltor() {
    local cur prev words cword
    _init_completion || return

    local commands="compile dump info pack scan unpack"
    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi

    local command=${words[1]} options=""
    case $command in
        scan)
            options="--db --recursive --follow-links --one-file-system --max-filesize --threads --sort --json --archives --no-archives --max-archive-depth --max-unpacked --max-members --max-ratio --limits-ok --encrypted-ok --damaged-ok --signatures --infected --quiet --explain --max-depth --exclude --include --exclude-dir --file-list --null --max-scan-time --no-summary --log --version --help -r -L -x -j -s -i -q -0 -h" ;;
        compile)
            options="--output --fail-on-warnings --help -o -w -h" ;;
        dump)
            options="--output --body --help -o -h" ;;
        info)
            options="--body --help -h" ;;
        pack)
            options="--output --force --help -o -h" ;;
        unpack)
            options="--output --help -o -h" ;;
        --version)
            options="--db" ;;
    esac

    case $prev in
        --db)
            _filedir vlb
            return ;;
        -o|--output|--file-list|--log)
            _filedir
            return ;;
        --exclude-dir)
            _filedir -d
            return ;;
        -j|--threads|--max-filesize|--max-archive-depth|--max-unpacked|--max-members|--max-ratio|--max-depth|--max-scan-time|--exclude|--include)
            return ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    case $command in
        compile) _filedir vsr ;;
        dump|info|unpack) _filedir vlb ;;
        *) _filedir ;;
    esac
}
complete -F _veltor veltor
