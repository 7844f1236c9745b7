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

# Configures build/host as the test command's host build: Ninja, the tests,
# -O2 with debug information, warnings as errors, the host compiler
# (KESTREL_HOST_CXX, default g++). The demo and the soak build there too, so
# each reuses what another built. More cmake arguments may follow.
# shellcheck disable=SC2120 # the arguments are optional
kestrel_configure_host() {
    cmake -S . -B build/host -G Ninja -DKESTREL_TESTS=ON \
        -DCMAKE_CXX_COMPILER="${KESTREL_HOST_CXX:-g++}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTREL_WERROR=ON "$@"
}

# kestrel_sanitizer_runner CXX FLAGS: the prefix to run programs built by CXX
# with sanitizer FLAGS under, printed: nothing, or "setarch ARCH -R". Fails
# (with the probe's messages on standard error) when the runtime cannot work.
#
# Newer kernels randomise mmap over more address bits than the sanitizer
# runtimes of Debian 12 expect (vm.mmap_rnd_bits > 28): the thread sanitizer
# dies at start with "unexpected memory mapping", the address sanitizer may
# hang. Without address randomisation (setarch -R, inherited by children) they
# work. A probe program tells, rather than the kernel's setting: it also
# catches a runtime that is missing or broken for another reason.
kestrel_sanitizer_runner() {
    local cxx=$1 flags=$2 dir
    dir=$(mktemp -d)
    cat >"$dir/probe.cpp" <<'PROBE'
#include <thread>
int main() {
    int value = 0;
    std::thread t([&value] { value = 1; });
    t.join();
    return value == 1 ? 0 : 1;
}
PROBE
    if ! "$cxx" -std=c++20 "$flags" -pthread "$dir/probe.cpp" -o "$dir/probe" >"$dir/log" 2>&1; then
        cat "$dir/log" >&2
        rm -rf "$dir"
        return 1
    fi
    # The address sanitizer may spin instead of dying there, hence the timeout.
    if timeout 10 "$dir/probe" >"$dir/log" 2>&1; then
        echo ""
    elif timeout 10 setarch "$(uname -m)" -R "$dir/probe" >/dev/null 2>&1; then
        echo "setarch $(uname -m) -R"
    else
        cat "$dir/log" >&2
        rm -rf "$dir"
        return 1
    fi
    rm -rf "$dir"
}
