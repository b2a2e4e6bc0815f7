# Sourced by the scripts that need Debian packages. `install_missing PACKAGE...`
# installs with apt-get (we run as root) those that are not installed yet; the package
# lists are fetched only when something is missing, or when apt_update=1 says they
# changed (a foreign architecture just added).
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ] || [ "${apt_update:-0}" = 1 ]; then
        echo "== installing: ${missing[*]}"
        apt-get update -qq
        if [ ${#missing[@]} -gt 0 ]; then
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
        fi
    fi
}
