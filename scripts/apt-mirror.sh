# Sourced by the set-up scripts. Prints the first deb822 or one-line source
# of this machine that serves Debian's main archive (not the security
# archive), so that no mirror name is ever written into the project.
machine_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            /^URIs:/ { uri = $2 }
            /^Suites:/ { if ($0 !~ /security/ && uri != "") { print uri; exit } }
        ' "$f"
    done | head -n 1
    if [ -f /etc/apt/sources.list ]; then
        awk '$1 == "deb" && $0 !~ /security/ {
                 for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit }
             }' /etc/apt/sources.list
    fi
}
