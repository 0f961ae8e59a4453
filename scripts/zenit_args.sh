# What scripts/run.sh needs to know of zenit's command line, read as zenit reads it
# (app/options.cpp): whether a photo is named and whether --quiet is asked for. Sourced, so
# that a test can check it without building or installing anything.

# The long option that NAME stands for: itself, or the one option it begins; nothing when none
# or several do (zenit then refuses the command line).
zenit_long_option() {
    found=""
    for option in output method pair settings set format quality threads denoise align \
        keep-size timings quiet help; do
        if [ "$option" = "$1" ]; then
            echo "$option"
            return 0
        fi
        case $option in
        "$1"*) if [ -z "$found" ]; then found=$option; else found="-"; fi ;;
        esac
    done
    [ "$found" = "-" ] || echo "$found"
}

# Sets photos (true when an argument is a photo) and quiet (true for --quiet) from the
# arguments. An option that takes a value takes the next argument unless the value is attached
# ("-j3", "--threads=3"); short flags group ("-hj3"); "--" ends the options; "-" and anything
# else not starting with "-" is a photo.
zenit_args() {
    photos=false
    quiet=false
    while [ $# -gt 0 ]; do
        arg=$1
        shift
        case $arg in
        --)
            if [ $# -gt 0 ]; then photos=true; fi
            return 0
            ;;
        --*)
            name=${arg#--}
            case $(zenit_long_option "${name%%=*}") in
            quiet) quiet=true ;;
            output | method | pair | settings | set | format | quality | threads | denoise | align)
                case $arg in
                *=*) ;;
                *) if [ $# -gt 0 ]; then shift; fi ;;
                esac
                ;;
            esac
            ;;
        -?*)
            rest=${arg#-}
            while [ -n "$rest" ]; do
                flag=${rest%"${rest#?}"}
                rest=${rest#?}
                case $flag in
                h) ;;
                o | m | f | q | j)
                    if [ -z "$rest" ] && [ $# -gt 0 ]; then shift; fi
                    break
                    ;;
                *) break ;;
                esac
            done
            ;;
        *) photos=true ;;
        esac
    done
    return 0
}
