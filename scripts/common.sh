# shellcheck shell=bash
# Shared by the scripts in this directory; source it, do not run it.

# The repository's top directory.
kestrel_root() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}

# Runs a command as root: directly when we are root, through sudo otherwise.
kestrel_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# Installs the Debian packages given that are not installed yet. Nothing is
# fetched (not even the package lists) when everything is already there.
kestrel_ensure_packages() {
    local missing=() pkg status
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        if [ "$status" != "installed" ]; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "== installing missing packages: ${missing[*]}"
    # Another apt run (an unattended upgrade, a provisioning step) may hold
    # the lock for a while; wait for it rather than fail.
    kestrel_as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=900 update -q
    kestrel_as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends "${missing[@]}"
}

# Prints a duration in seconds as 1m05s.
kestrel_duration() {
    printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}
