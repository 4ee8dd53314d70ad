# Installs the Debian packages named in "$@" that are not installed yet; apt-get's
# lists are refreshed only when something is missing. Sourced by the run and test
# commands.
install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building and running the Linux collector needs.
LINUX_PACKAGES=(cmake ninja-build g++ python3 systemd bsdutils)
