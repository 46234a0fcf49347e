# fish completion for vemloctl(1)

set -l commands install uninstall status lever help
complete -c vemloctl -f
complete -c vemloctl -n "not __fish_seen_subcommand_from $commands" -a install -d 'install the agent as a user service and register the hooks'
complete -c vemloctl -n "not __fish_seen_subcommand_from $commands" -a uninstall -d 'take out exactly what install added'
complete -c vemloctl -n "not __fish_seen_subcommand_from $commands" -a status -d 'agent, keyboard, lever, installation and hooks'
complete -c vemloctl -n "not __fish_seen_subcommand_from $commands" -a lever -d 'set or clear the temporary software lever'
complete -c vemloctl -n "not __fish_seen_subcommand_from $commands" -a help -d 'the usage of vemloctl or of one command'
complete -c vemloctl -n "not __fish_seen_subcommand_from $commands" -l version -d 'the version'
complete -c vemloctl -l help -s h -d 'the usage'
# A comma-separated list: each candidate is the names given so far plus one not given yet.
function __vemloctl_assistants
    set -l given (string split , -- (string replace -r -- '^--only=' '' (commandline -ct)))
    set -e given[-1]
    set -l prefix (string join , -- $given)
    test -n "$prefix"; and set prefix "$prefix,"
    for name in claude codex cursor kimi copilot gemini
        contains -- $name $given; or echo "$prefix$name"
    end
end
complete -c vemloctl -n "__fish_seen_subcommand_from install uninstall status" -l only -x -a '(__vemloctl_assistants)' -d 'only these assistants, comma-separated'
complete -c vemloctl -n "__fish_seen_subcommand_from install uninstall" -l dry-run -d 'print what would change, change nothing'
complete -c vemloctl -n "__fish_seen_subcommand_from install uninstall" -l bin-dir -x -a '(__fish_complete_directories)' -d 'where the agent copy goes'
complete -c vemloctl -n "__fish_seen_subcommand_from install" -l agent -r -F -d 'the vemloconfig-agent to copy'
complete -c vemloctl -n "__fish_seen_subcommand_from lever" -a 'clear 0 1' -d 'lever position'
complete -c vemloctl -n "__fish_seen_subcommand_from help" -a 'install uninstall status lever'
