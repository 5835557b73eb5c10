# Sourced by the set-up scripts, after they define log and as_root. On a
# fresh machine another package manager run (Debian's unattended upgrades,
# say) may hold apt's locks for minutes: package steps wait their turn, for
# a bounded time, then fail with a message saying why.
apt_lock_wait_s=600

# as_root apt-get "$@", tried again every 5 s while it fails on a lock.
# DPkg::Lock::Timeout makes apt itself wait for dpkg's lock; apt-get update
# takes the lists lock, which that option does not cover, and an install
# may meet the archives lock of a run that is still downloading.
apt_get_waiting() {
    local deadline=$((SECONDS + apt_lock_wait_s)) out waited=0
    until out=$(as_root env DEBIAN_FRONTEND=noninteractive \
                    apt-get -o DPkg::Lock::Timeout="$apt_lock_wait_s" "$@" 2>&1); do
        if ! grep -qE 'Could not get lock|Unable to lock|Unable to acquire' <<<"$out"; then
            printf '%s\n' "$out" >&2
            return 1
        fi
        if [ $SECONDS -ge $deadline ]; then
            printf '%s\n' "$out" >&2
            log "another package manager run has held apt's lock for ${apt_lock_wait_s} s (unattended upgrades?); run this again once it has finished"
            return 1
        fi
        [ "$waited" = 1 ] || log "another package manager run holds apt's lock; waiting up to ${apt_lock_wait_s} s"
        waited=1
        sleep 5
    done
    [ -z "$out" ] || printf '%s\n' "$out"
}
