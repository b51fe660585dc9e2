# Bash completion of dofmap-batch: its options, the values of those that take a fixed set, folders
# for --output and photos or folders for the rest. Needs nothing beyond bash itself.

_dofmap_batch()
{
    local current=${COMP_WORDS[COMP_CWORD]}
    local previous=${COMP_WORDS[COMP_CWORD-1]}
    # A long option's value given after = (--format=png): bash splits the word at the =, which is
    # in COMP_WORDBREAKS, so the words are "--format" "=" and the value being typed, if any.
    if [[ $current == = && $previous == --* ]]; then
        current=
    elif [[ $previous == = ]] && ((COMP_CWORD >= 2)) && [[ ${COMP_WORDS[COMP_CWORD-2]} == --* ]]; then
        previous=${COMP_WORDS[COMP_CWORD-2]}
    fi
    local options="-h --help --version -r --recursive --raw-preview -o --output --format --blurred --colormap
        --overlay --means --stats --sigma --window -j --jobs --memory -q --quiet --no-map --json --xmp --xmp-name
        --reject-below --cull --overwrite-ratings --dry-run --pair --sort --summary --report"
    local colormaps="autumn bone jet winter rainbow ocean summer spring cool hsv pink hot parula magma inferno
        plasma viridis cividis twilight twilight_shifted turbo deepgreen"
    local sort_keys="max_mean mean_mean p90_mean path -max_mean -mean_mean -p90_mean -path"
    local -a candidates
    case $previous in
        --format) candidates=(-W "png jpg tif") ;;
        --xmp-name) candidates=(-W "adobe full") ;;
        --pair) candidates=(-W "jpeg raw both") ;;
        --sort) candidates=(-W "$sort_keys") ;;
        --colormap) candidates=(-W "$colormaps") ;;
        -o | --output) candidates=(-d) ;;
        --sigma | --window | -j | --jobs | --memory | --reject-below) COMPREPLY=(); return ;;
        *)
            if [[ $current == -* ]]; then
                candidates=(-W "$options")
            else
                candidates=(-f)
            fi
            ;;
    esac
    # compgen prints one candidate a line; each line is taken whole, so a word list splits at its
    # blanks while a file name keeps its spaces and is never expanded again as a pattern.
    mapfile -t COMPREPLY < <(compgen "${candidates[@]}" -- "$current")
}
complete -o filenames -F _dofmap_batch dofmap-batch
