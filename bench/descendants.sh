# shellcheck shell=bash
# Sourced by the idle benchmarks: the program under Wine runs as a tree of
# processes (the launcher, the program, wineserver's clients), all of which
# count.

# The descendants of a process, at any depth.
descendants() {
    local child
    for child in $(pgrep -P "$1" || true); do
        echo "$child"
        descendants "$child"
    done
}
