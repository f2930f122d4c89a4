# Shared steps of the project's commands (test, demo, benchmark): sourced, not run.

VARNOK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VARNOK_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 googletest clang libclang-rt-14-dev)

# Installs, as root on Debian 12, whichever of the build's packages are missing.
varnok_install_packages() {
    local missing=() package
    for package in "${VARNOK_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]} > 0)); then
        echo "== Installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

# Starts a persistent wineserver with Wine's services for the project's own prefix. Without it each
# Windows program waits seconds for the services, and services first started under CTest inherit
# its output pipe and keep it from finishing.
varnok_start_wine() {
    export WINEDEBUG=-all
    export WINEPREFIX="${WINEPREFIX:-$VARNOK_ROOT/build/wineprefix}"
    mkdir -p "$(dirname "$WINEPREFIX")"
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
        echo "== Creating the Wine prefix $WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1
    fi
    # A server of this prefix may still run: the short-lived one that created it, or one left by an
    # earlier run. The persistent one can only start after it has gone.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    wineserver -p
    wine cmd /c exit </dev/null >/dev/null 2>&1
    trap varnok_stop_wine EXIT
}

varnok_stop_wine() {
    wineserver -k >/dev/null 2>&1 || true
}
