# The checks of the C++ sources: their style and the order of their includes.

# The C++ files the style check covers.
cpp_sources() {
    (cd "$ROOT" && git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tests/*.cpp' 'tests/*.h' \
        'bench/*.cpp')
}

# The source folders from top to bottom: a file includes headers of its own folder and
# of folders below it only. Prints every include that runs upwards; false when any does.
SOURCE_LAYERS=(app session ui install net manifest log digest platform common)
check_include_order() {
    local bad=0 file from to rank_from rank_to i
    declare -A rank
    for i in "${!SOURCE_LAYERS[@]}"; do rank[${SOURCE_LAYERS[$i]}]=$i; done
    while IFS=: read -r file to; do
        from=${file#src/}
        from=${from%%/*}
        rank_from=${rank[$from]:-}
        rank_to=${rank[$to]:-}
        [ -n "$rank_from" ] && [ -n "$rank_to" ] || continue
        if [ "$rank_to" -lt "$rank_from" ]; then
            echo "$file includes $to/, a folder above its own"
            bad=1
        fi
    done < <(cd "$ROOT" && git ls-files 'src/*.cpp' 'src/*.h' |
        xargs grep -oE '^#include "[a-z_]+/' | sed -E 's/:#include "/:/; s|/$||')
    [ "$bad" = 0 ]
}
