# Bash completion for korvalin: its options, the port names that `korvalin --list-ports` shows
# for --port, files and folders for the options that take them. Installed as
# /usr/share/bash-completion/completions/korvalin (loaded on first use by bash-completion); it
# needs nothing from bash-completion and also works sourced on its own.

# The names --port takes: the first column of the port listing (a device name, a path, or a
# network port such as rfc2217://bench4:4001).
_korvalin_ports() {
    local program="$1"
    command -v "$program" >/dev/null 2>&1 || program=korvalin
    "$program" --list-ports 2>/dev/null | while read -r name _; do
        [ -n "$name" ] && printf '%s\n' "$name"
    done
}

_korvalin() {
    local cur="${COMP_WORDS[COMP_CWORD]}"
    # Bash splits "--port=ttyUSB0" and "rfc2217://bench4:4001" into several words at '=' and
    # ':'. The whole word is read from the line instead; a reply replaces only the part after
    # the word's last break character, so `keep` (up to that character) is taken off each.
    local line="${COMP_LINE:0:COMP_POINT}"
    local word="${line##*[[:space:]]}"
    local keep="" i
    for ((i = ${#word} - 1; i >= 0; i--)); do
        if [[ "${COMP_WORDBREAKS-=:}" == *"${word:i:1}"* ]]; then
            keep="${word:0:i+1}"
            break
        fi
    done
    local option value prefix=""
    if [[ "$word" == --*=* ]]; then
        option="${word%%=*}"
        value="${word#*=}"
        prefix="$option="
    else
        local before="${line%"$word"}"
        before="${before%"${before##*[![:space:]]}"}"
        option="${before##*[[:space:]]}"
        value="$word"
    fi

    local -a names=()
    case "$option" in
        --port)
            mapfile -t names < <(_korvalin_ports "${COMP_WORDS[0]}")
            ;;
        --file | --report | --retry-failed | --station)
            compopt -o filenames 2>/dev/null
            mapfile -t names < <(compgen -f -- "$value")
            ;;
        --log-dir)
            compopt -o filenames 2>/dev/null
            mapfile -t names < <(compgen -d -- "$value")
            ;;
        --expect | --reject | --verdict-timeout | --prompt-timeout | --unit-id | --station-name)
            # A regular expression, a number or a name: nothing to offer.
            COMPREPLY=()
            return 0
            ;;
        *)
            option=""
            ;;
    esac
    COMPREPLY=()
    if [ -n "$option" ]; then
        local name
        for name in "${names[@]}"; do
            [[ "$name" == "$value"* ]] && COMPREPLY+=("${prefix}${name}")
        done
        local i
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]="${COMPREPLY[i]#"$keep"}"
        done
        return 0
    fi
    if [[ -z "$cur" || "$cur" == -* ]]; then
        local opts="--console --port --file --send-now --repeat --all-ports --log-dir --report
                    --expect --reject --verdict-timeout --prompt-timeout --retry-failed
                    --unit-id --station-name --station --list-ports --demo --help --version"
        mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
    fi
    return 0
}

complete -F _korvalin korvalin
