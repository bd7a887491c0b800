# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the rig's shell builders: their "--name VALUE" options.
#
#   take_options "name other_name ..." "$@"
#
# sets the variable of each option given (--other-name sets other_name);
# an option not named, or one without its value, ends the script (status 2).
take_options() {
    local names=" $1 " name
    shift
    while [ $# -gt 0 ]; do
        name=${1#--}
        name=${name//-/_}
        case $1 in
            --*) case $names in *" $name "*) ;; *) name="" ;; esac ;;
            *) name="" ;;
        esac
        if [ -z "$name" ] || [ $# -lt 2 ]; then
            echo "$(basename "$0"): unknown argument or no value: $1" >&2
            exit 2
        fi
        printf -v "$name" '%s' "$2"
        shift 2
    done
}
