# Shared steps of the project's commands (test, demo, benchmark): sourced, not run.

VARNOK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VARNOK_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix clang lld llvm wine wine64 googletest libclang-rt-14-dev g++
    ntfs-3g)

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

# Configures a preset's build folder. One whose compilers came from another toolchain (build/mingw
# held the GCC build before the DLL that ships came to be built with clang) is refused by the build,
# and configured anew.
varnok_configure() {
    local errors
    if errors="$(cmake --preset "$1" 2>&1 >/dev/null)"; then
        [[ -z $errors ]] || echo "$errors" >&2
    elif [[ $errors == *"configure it anew"* ]]; then
        echo "== build/$1 was configured with another toolchain: configuring it anew"
        cmake --preset "$1" --fresh >/dev/null
    else
        echo "$errors" >&2
        return 1
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
    VARNOK_WINE_STARTED=1
    varnok_trap_cleanup
}

# Stops the prefix's wineserver and waits until it and every Windows program of it have gone, so
# that none still holds a file of the scratch volume.
varnok_stop_wine() {
    if [[ -n ${VARNOK_WINE_STARTED:-} ]]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        VARNOK_WINE_STARTED=
    fi
}

# ---- The scratch NTFS volume --------------------------------------------------------------------
# Under Wine on ext4 a stream "file:stream" is a second file beside its file. On a real NTFS volume,
# mounted with ntfs-3g so that it shows each stream under that same name, Wine reads and writes true
# streams. The image is made once in the build folder and kept; the volume is mounted for a command
# and unmounted when the command ends (the demo leaves it mounted for a look at its result).
VARNOK_NTFS_IMAGE="$VARNOK_ROOT/build/ntfs.img"
VARNOK_NTFS_MOUNT="$VARNOK_ROOT/build/ntfs"
VARNOK_NTFS_MOUNTED=  # set when this command mounted the volume and so must unmount it
VARNOK_NTFS_PROBLEM=  # why the volume could not be mounted

varnok_ntfs_is_mounted() {
    findmnt -n -M "$VARNOK_NTFS_MOUNT" >/dev/null 2>&1
}

# Mounts the scratch NTFS volume at $VARNOK_NTFS_MOUNT, making its image first when there is none, or
# finds it mounted already. Returns non-zero, with the reason in VARNOK_NTFS_PROBLEM, when it cannot.
varnok_mount_ntfs() {
    if varnok_ntfs_is_mounted; then
        if ls "$VARNOK_NTFS_MOUNT" >/dev/null 2>&1; then
            return 0  # left mounted by the demo, or by another command still running
        fi
        umount -l "$VARNOK_NTFS_MOUNT" 2>/dev/null || true  # its ntfs-3g has gone
    fi
    if ! command -v ntfs-3g >/dev/null || ! command -v mkntfs >/dev/null; then
        VARNOK_NTFS_PROBLEM="ntfs-3g is not installed"
        return 1
    fi
    if [[ ! -c /dev/fuse ]]; then
        VARNOK_NTFS_PROBLEM="there is no /dev/fuse"
        return 1
    fi
    mkdir -p "$VARNOK_NTFS_MOUNT"
    local errors
    for _ in 1 2; do
        if [[ ! -f "$VARNOK_NTFS_IMAGE" ]] && ! varnok_make_ntfs_image; then
            return 1
        fi
        varnok_trap_cleanup
        if errors="$(ntfs-3g -o streams_interface=windows,big_writes "$VARNOK_NTFS_IMAGE" "$VARNOK_NTFS_MOUNT" 2>&1)" &&
            varnok_ntfs_is_mounted; then
            VARNOK_NTFS_MOUNTED=1
            return 0
        fi
        # A volume left unclean by a killed run may refuse to mount; it holds nothing worth keeping.
        rm -f "$VARNOK_NTFS_IMAGE"
    done
    VARNOK_NTFS_PROBLEM="ntfs-3g failed: $(tr '\n' ' ' <<<"$errors" | sed 's/ *$//')"
    return 1
}

varnok_make_ntfs_image() {
    local errors
    if ! errors="$(truncate -s 256M "$VARNOK_NTFS_IMAGE.new" 2>&1 && mkntfs -F -Q -q "$VARNOK_NTFS_IMAGE.new" 2>&1)"; then
        rm -f "$VARNOK_NTFS_IMAGE.new"
        VARNOK_NTFS_PROBLEM="mkntfs failed: $(tr '\n' ' ' <<<"$errors")"
        return 1
    fi
    mv "$VARNOK_NTFS_IMAGE.new" "$VARNOK_NTFS_IMAGE"
}

# Unmounts the volume if this command mounted it, after Wine has let go of it, and waits for ntfs-3g
# to have written it out, so that the next mount finds it clean.
varnok_unmount_ntfs() {
    if [[ -z ${VARNOK_NTFS_MOUNTED:-} ]]; then
        return 0
    fi
    varnok_stop_wine
    local daemon tries
    daemon="$(varnok_ntfs_daemon)"
    if ! umount "$VARNOK_NTFS_MOUNT"; then
        echo "== Could not unmount $VARNOK_NTFS_MOUNT: it stays mounted (umount $VARNOK_NTFS_MOUNT)" >&2
        return 1
    fi
    VARNOK_NTFS_MOUNTED=
    for ((tries = 0; tries < 100; ++tries)); do
        if [[ -z $daemon ]] || [[ ! -e /proc/$daemon ]] || [[ $(awk '{print $3}' "/proc/$daemon/stat" 2>/dev/null) == Z ]]; then
            return 0
        fi
        sleep 0.1
    done
}

# The ntfs-3g process that serves the scratch volume.
varnok_ntfs_daemon() {
    local pid
    for pid in $(pgrep -x ntfs-3g); do
        if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF " $VARNOK_NTFS_IMAGE $VARNOK_NTFS_MOUNT"; then
            echo "$pid"
            return
        fi
    done
}

# Mounts the volume for the file tests and exports where they keep their scratch folders: the
# Windows path for Windows programs (the tests' own support reads it), the Unix path for CMake
# scripts. Without the volume it says so on one line, and fails when VARNOK_REQUIRE_NTFS=1 (CI).
# Call after varnok_start_wine.
varnok_use_ntfs_for_tests() {
    if ! varnok_mount_ntfs; then
        if [[ ${VARNOK_REQUIRE_NTFS:-} == 1 ]]; then
            echo "== FAILED: no NTFS volume for the file tests ($VARNOK_NTFS_PROBLEM), and VARNOK_REQUIRE_NTFS=1" >&2
            return 1
        fi
        echo "== No NTFS volume ($VARNOK_NTFS_PROBLEM): the file tests run on the ordinary file system, where streams are files beside their files"
        unset VARNOK_NTFS_FOLDER VARNOK_NTFS_UNIX_FOLDER
        return 0
    fi
    local folder="$VARNOK_NTFS_MOUNT/tests"
    rm -rf "$folder"
    mkdir -p "$folder"
    VARNOK_NTFS_UNIX_FOLDER="$folder"
    VARNOK_NTFS_FOLDER="$(winepath -w "$folder" 2>/dev/null)"
    export VARNOK_NTFS_FOLDER VARNOK_NTFS_UNIX_FOLDER
    echo "== The file tests run on NTFS: $VARNOK_NTFS_IMAGE mounted at $VARNOK_NTFS_MOUNT (ntfs-3g, streams_interface=windows), scratch folder $VARNOK_NTFS_FOLDER"
}

# What a command leaves behind is undone when it ends, however it ends: Wine first, then the volume.
varnok_cleanup() {
    varnok_stop_wine
    varnok_unmount_ntfs || true
}

varnok_trap_cleanup() {
    trap varnok_cleanup EXIT
    trap 'varnok_cleanup; trap - INT; kill -INT $$' INT
    trap 'varnok_cleanup; trap - TERM; kill -TERM $$' TERM
}
