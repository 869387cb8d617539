# Shared by the dev/ scripts: where the project's Debian root lives and how to
# tell whether this host can build natively.  Sourced, never run.

DEV_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(dirname "$DEV_DIR")

# Bump when the way a root is made changes, so old roots are not reused.
ROOT_RECIPE=1

tovrel_cache_dir() {
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/tovrel"
}

# The package list without comments or blank lines, one name a line.
tovrel_packages() {
    sed -e 's/#.*//' -e 's/[[:space:]]//g' "$DEV_DIR/packages" | grep -v '^$'
}

tovrel_root_dir() {
    local key
    key=$( { echo "recipe $ROOT_RECIPE"; tovrel_packages; } | sha256sum | cut -c1-16)
    echo "$(tovrel_cache_dir)/root-$key"
}

# Written last into a finished root; a root without it is never used.
ROOT_MARKER=.tovrel-root-complete

# True when the host itself has what the build needs.
tovrel_host_is_native() {
    command -v python3.15 >/dev/null 2>&1 &&
        command -v meson >/dev/null 2>&1 &&
        command -v pkg-config >/dev/null 2>&1 &&
        pkg-config --atleast-version=8.21.0 libcurl 2>/dev/null &&
        pkg-config --atleast-version=3 openssl 2>/dev/null
}

# Existing Python bindings of libcurl must never enter the root.
tovrel_forbidden_packages() {
    grep -E -i '(^|[^a-z])py(thon[0-9.]*-)?curl|^python[0-9.]*-[a-z0-9.-]*curl' || true
}
