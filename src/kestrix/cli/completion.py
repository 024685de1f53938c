"""kestrix completion bash|zsh|fish: a script that completes the command's words (actions,
runtimes, options) and folders, made from the same tables as the parser, so that it names
what this release takes."""

from kestrix.cli.arguments import ACTIONS

SHELLS = ("bash", "zsh", "fish")
GLOBAL_OPTIONS = ("--json", "-q", "--quiet", "--debug", "--help")


def _runtimes() -> list[str]:
    from kestrix.skills.services import rule_injector as ri

    return [str(runtime) for runtime in ri.RUNTIME_CONFIG_FILES]


def options_of(action: str) -> list[str]:
    """The options an action takes, as its parser has them."""
    options = ["--templates", "--config-file", *GLOBAL_OPTIONS]
    if action == "status":
        options.append("--all")
    else:
        options.append("--dry-run")
    if action in ("update", "uninstall"):
        options.append("--force")
    return options


_BASH = r"""# kestrix completion for bash: eval "$(kestrix completion bash)"
_kestrix() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local group="" action="" words=0 i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --templates|--config-file) ((i++)) ;;
            -*) ;;
            *) if [[ -z $group ]]; then group=$word
               elif [[ -z $action ]]; then action=$word
               else ((words++)); fi ;;
        esac
    done
    case $prev in
        --templates) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --config-file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [[ -z $group ]]; then
        COMPREPLY=($(compgen -W "skills completion -V --version @GLOBAL@" -- "$cur"))
    elif [[ $group == completion ]]; then
        [[ -z $action ]] && COMPREPLY=($(compgen -W "@SHELLS@" -- "$cur"))
    elif [[ $group != skills ]]; then
        COMPREPLY=()
    elif [[ -z $action ]]; then
        COMPREPLY=($(compgen -W "@ACTIONS@ @GLOBAL@" -- "$cur"))
    elif [[ $cur == -* ]]; then
        case $action in
@OPTIONS@
        esac
    elif ((words == 0)); then
        COMPREPLY=($(compgen -W "@RUNTIMES@" -- "$cur"))
    elif ((words == 1)); then
        COMPREPLY=($(compgen -d -- "$cur"))
    fi
}
complete -o filenames -o bashdefault -F _kestrix kestrix
"""

_ZSH_HEAD = """# kestrix completion for zsh: eval "$(kestrix completion zsh)"
# The bash script, through zsh's own bash completion layer.
autoload -U +X compinit && compinit
autoload -U +X bashcompinit && bashcompinit
"""


def bash() -> str:
    options = "\n".join(
        f'            {action}) COMPREPLY=($(compgen -W "{" ".join(options_of(action))}" '
        f'-- "$cur")) ;;' for action in ACTIONS)
    return (_BASH.replace("@GLOBAL@", " ".join(GLOBAL_OPTIONS))
            .replace("@SHELLS@", " ".join(SHELLS))
            .replace("@ACTIONS@", " ".join(ACTIONS))
            .replace("@RUNTIMES@", " ".join(_runtimes()))
            .replace("@OPTIONS@", options))


def zsh() -> str:
    return _ZSH_HEAD + bash().split("\n", 1)[1]


def fish() -> str:
    actions, runtimes = " ".join(ACTIONS), " ".join(_runtimes())
    in_action = f"__fish_seen_subcommand_from {actions}"
    lines = [
        "# kestrix completion for fish: kestrix completion fish | source",
        "complete -c kestrix -f",
        'complete -c kestrix -n "__fish_use_subcommand" -a "skills completion"',
        "complete -c kestrix -s V -l version -d 'print the version'",
        "complete -c kestrix -l json -d 'print one JSON object'",
        "complete -c kestrix -s q -l quiet -d 'print nothing but errors and warnings'",
        "complete -c kestrix -l debug -d 'show tracebacks of errors'",
        f'complete -c kestrix -n "__fish_seen_subcommand_from completion" -a "{" ".join(SHELLS)}"',
        f'complete -c kestrix -n "__fish_seen_subcommand_from skills; and not {in_action}" '
        f'-a "{actions}"',
        f'complete -c kestrix -n "{in_action}; and not __fish_seen_subcommand_from {runtimes}" '
        f'-a "{runtimes}"',
        f'complete -c kestrix -n "__fish_seen_subcommand_from {runtimes}" '
        '-a "(__fish_complete_directories)"',
        f'complete -c kestrix -n "{in_action}" -l templates -x -a "(__fish_complete_directories)"',
        f'complete -c kestrix -n "{in_action}" -l config-file -r -F',
        'complete -c kestrix -n "__fish_seen_subcommand_from install update uninstall" -l dry-run',
        'complete -c kestrix -n "__fish_seen_subcommand_from update uninstall" -l force',
        'complete -c kestrix -n "__fish_seen_subcommand_from status" -l all',
    ]
    return "\n".join(lines) + "\n"


def script(shell: str) -> str:
    return {"bash": bash, "zsh": zsh, "fish": fish}[shell]()
