# Bash completion of dofmap-batch: its options, the values of those that take a fixed set, folders
# for --output and photos or folders for the rest. Needs nothing beyond bash itself.

_dofmap_batch()
{
    local current=${COMP_WORDS[COMP_CWORD]}
    local previous=${COMP_WORDS[COMP_CWORD-1]}
    local options="-h --help --version -r --recursive --raw-preview -o --output --format --blurred --colormap
        --overlay --means --stats --sigma --window -j --jobs --memory -q --quiet --no-map --json --xmp --xmp-name
        --reject-below --cull --overwrite-ratings --dry-run --pair --sort --summary --report"
    local colormaps="autumn bone jet winter rainbow ocean summer spring cool hsv pink hot parula magma inferno
        plasma viridis cividis twilight twilight_shifted turbo deepgreen"
    local IFS=$'\n'
    case $previous in
        --format) COMPREPLY=($(compgen -W "png jpg tif" -- "$current")); return ;;
        --xmp-name) COMPREPLY=($(compgen -W "adobe full" -- "$current")); return ;;
        --pair) COMPREPLY=($(compgen -W "jpeg raw both" -- "$current")); return ;;
        --sort) IFS=$' \t\n'; COMPREPLY=($(compgen -W "max_mean mean_mean p90_mean path -max_mean -mean_mean -p90_mean -path" -- "$current")); return ;;
        --colormap) IFS=$' \t\n'; COMPREPLY=($(compgen -W "$colormaps" -- "$current")); return ;;
        -o | --output) COMPREPLY=($(compgen -d -- "$current")); return ;;
        --sigma | --window | -j | --jobs | --memory | --reject-below) COMPREPLY=(); return ;;
    esac
    if [[ $current == -* ]]; then
        IFS=$' \t\n'
        COMPREPLY=($(compgen -W "$options" -- "$current"))
    else
        COMPREPLY=($(compgen -f -- "$current"))
    fi
}
complete -o filenames -F _dofmap_batch dofmap-batch
