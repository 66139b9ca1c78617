# Where each supported CPython comes from, for each architecture; sourced by
# tools/build-wheels and tools/test-all-pythons, from the repository root.
#
# On this machine's own architecture pyenv has 3.9 to 3.13 (tools/find-python);
# what it lacks comes from the Debian chroots of tools/chroot: 3.14 and 3.15
# from unstable. On aarch64, under emulation, Debian 12 gives 3.11 and
# unstable 3.13 to 3.15; no registry here has 3.9, 3.10 or 3.12 for it.

host_arch=$(uname -m)

# The versions that an architecture's wheels are built and tested for.
supported_versions() {
    case $1 in
    x86_64) echo 3.9 3.10 3.11 3.12 3.13 3.14 3.15 ;;
    aarch64) echo 3.11 3.13 3.14 3.15 ;;
    esac
}

# The chroot that has CPython $2 for architecture $1, if any.
chroot_for() {
    case $1:$2 in
    x86_64:3.14 | x86_64:3.15) echo amd64-sid ;;
    aarch64:3.11) echo arm64-bookworm ;;
    aarch64:3.13 | aarch64:3.14 | aarch64:3.15) echo arm64-sid ;;
    *) return 1 ;;
    esac
}

# Finds CPython $2 for architecture $1 and sets `where` (host, or the name of
# the chroot) and `python` (its path, or its command inside the chroot).
# With $3 = make, makes the chroot when it is not there yet. Returns 1 when
# the version cannot be reached, with `unreachable` saying why.
find_interpreter() {
    local arch=$1 version=$2 chroot
    where='' python='' unreachable=''
    if [ "$arch" = "$host_arch" ] && python=$(tools/find-python "$version"); then
        where=host
        return 0
    fi
    if ! chroot=$(chroot_for "$arch" "$version"); then
        unreachable="no CPython $version for $arch here (neither pyenv nor a chroot has it)"
        return 1
    fi
    if [ "${3:-}" = make ] && ! tools/chroot make "$chroot"; then
        unreachable="chroot $chroot could not be made"
        return 1
    fi
    if [ ! -d "$(tools/chroot path "$chroot")" ]; then
        unreachable="chroot $chroot is not there (tools/chroot make $chroot)"
        return 1
    fi
    where=$chroot
    python=python$version
}

# Runs a command where the interpreter found last is: on the host, or in its
# chroot (in the current folder, which must hold every path the command uses).
run_there() {
    if [ "$where" = host ]; then
        "$@"
    else
        tools/chroot run "$where" "$@"
    fi
}

# Whether the folder $1 is inside the current one, and so visible in a chroot.
inside_here() {
    case $1/ in
    "$PWD"/*) return 0 ;;
    *) return 1 ;;
    esac
}
