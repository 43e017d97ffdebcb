# Sourced by scripts/setup and scripts/setup-wine32: apt-get update and install, made to get past a
# package mirror caught mid-sync. Quiet, and no slower, where apt works the first time.
#
# A mirror in mid-sync serves an index that does not match its Release file; apt-get update then
# exits 100 although it goes on with the lists it has. With the security suite's i386 index
# missing, apt's candidates for the amd64 libraries come from the security suite and those for
# i386 from the release, and a multi-arch package must have one version on both: the install
# fails ("held broken packages"), or, given the chance, apt removes the other architecture's
# Wine to make room.
#
# Lines start with the name of the script that sourced this file. Environment: APT_RETRY_PAUSE,
# the seconds between tries of apt-get update (15); APT_OS_RELEASE, where the release's codename
# is read (/etc/os-release), for the tests.

apt_tries=3
apt_pause=${APT_RETRY_PAUSE:-15}
apt_os_release=${APT_OS_RELEASE:-/etc/os-release}
apt_updated=
apt_index_missing=

apt_say() { echo "${0##*/}: $*" >&2; }

apt_codename() {
    # shellcheck disable=SC1090
    (. "$apt_os_release" 2>/dev/null && echo "${VERSION_CODENAME:-}")
}

# The last "E: ..." line of apt's standard error, without its "E: ".
apt_last_error() {
    local line last=
    while IFS= read -r line; do
        [[ $line == "E: "* ]] && last=${line#E: }
    done <<<"$1"
    echo "$last"
}

# The indexes apt could not fetch, each with apt's reason, from its lines
# "E: Failed to fetch <url>  <why>".
apt_failed_indexes() {
    local line url why list=
    while IFS= read -r line; do
        [[ $line == "E: Failed to fetch "* ]] || continue
        line=${line#E: Failed to fetch }
        url=${line%%  *}
        why=${line:${#url}}
        why=${why#"${why%%[! ]*}"}
        why=${why% \[IP: *\]}
        list+="${list:+, }$url${why:+ ($why)}"
    done <<<"$1"
    echo "$list"
}

apt_update() {
    [[ -n $apt_updated ]] && return 0
    local try err rc indexes
    for ((try = 1; ; try++)); do
        rc=0
        err=$(apt-get update -qq 2>&1 >/dev/null) || rc=$?
        ((rc != 0 && try < apt_tries)) || break
        sleep "$apt_pause"
    done
    apt_updated=1
    if ((rc == 0)); then
        [[ -z $err ]] || echo "$err" >&2
        return 0
    fi
    indexes=$(apt_failed_indexes "$err")
    if [[ -n $indexes ]]; then
        apt_index_missing=1
        apt_say "apt-get update failed $apt_tries times; going on with the lists apt has, without" \
            "$indexes"
    else
        err=$(apt_last_error "$err")
        apt_say "apt-get update failed $apt_tries times (${err:-exit $rc}); going on with the" \
            "lists apt has"
    fi
}

# apt_install [-t suite] package...: returns 1 when the packages could not be installed.
# --no-remove: installing one architecture's Wine must never take the other's away.
apt_install() {
    local suite='' err rc=0 why codename prefs
    if [[ $1 == -t ]]; then
        suite=$2
        shift 2
    fi
    local apt=(apt-get install -y -qq --no-install-recommends --no-remove)
    err=$(DEBIAN_FRONTEND=noninteractive "${apt[@]}" ${suite:+-t "$suite"} "$@" 2>&1 >/dev/null) ||
        rc=$?
    if ((rc == 0)); then
        [[ -z $err ]] || echo "$err" >&2
        return 0
    fi
    codename=$(apt_codename)
    if [[ -z $codename ]]; then
        echo "$err" >&2
        return 1
    fi
    # Plain -t gives the release priority 990, which never downgrades: a library already taken
    # from the security suite on one architecture keeps a version the other cannot match. A pin
    # above 1000, with downgrades allowed, makes both take the release's own version (and the
    # suite asked for, if any, keeps its place beside it).
    why="($(apt_last_error "$err"))"
    [[ $why != "()" ]] || why="(exit $rc)"
    [[ -z $apt_index_missing ]] || why+=" with an index missing"
    apt_say "apt-get install failed $why; trying again with $codename's own versions preferred" \
        "on every architecture"
    prefs=$(mktemp)
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n\n' "$codename" ${suite:+"$suite"} \
        >"$prefs"
    rc=0
    err=$(DEBIAN_FRONTEND=noninteractive "${apt[@]}" --allow-downgrades \
        -o Dir::Etc::Preferences="$prefs" "$@" 2>&1 >/dev/null) || rc=$?
    rm -f "$prefs"
    [[ -z $err ]] || echo "$err" >&2
    return $((rc != 0))
}
