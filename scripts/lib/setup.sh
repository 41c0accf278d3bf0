# Shared by the scripts: package installation and CMake configuration.
KESTOVA_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev qt6-base-dev libgl-dev fonts-crosextra-carlito fonts-liberation
  xvfb xauth)

kestova_install_packages() {
  local missing=()
  local p
  for p in "${KESTOVA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# kestova_configure DIR [cmake options...]
kestova_configure() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}
