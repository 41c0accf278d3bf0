# Shared by the scripts: package installation and CMake configuration.
KESTOVA_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev qt6-base-dev libgl-dev fonts-crosextra-carlito fonts-liberation
  xvfb xauth dpkg-dev file libsqlite3-dev sqlite3 qt6-charts-dev qt6-multimedia-dev
  libmosquitto-dev mosquitto libpq-dev postgresql nlohmann-json3-dev openssl
  iproute2 nftables python3 libcpp-httplib-dev libsodium-dev libssl-dev libjs-chart.js chromium)

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

# True when a display is there for the console.
kestova_have_display() {
  [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]
}

# kestova_radio_configured DIR: true when DIR/K7_Dialups.ini exists and was
# not written by the site simulator (which marks its own with a
# [Site Simulator] section).
kestova_radio_configured() {
  local ini="$1/K7_Dialups.ini"
  [ -f "$ini" ] && ! grep -q '^\[Site Simulator\]' "$ini"
}

# kestova_watch_reports DIR: prints a line for every train report that
# appears in DIR, until killed.
kestova_watch_reports() {
  local dir="$1" seen="" f name
  mkdir -p "$dir"
  seen=$(ls "$dir" 2>/dev/null || true)
  while sleep 2; do
    for f in "$dir"/*.txt; do
      [ -e "$f" ] || continue
      name=$(basename "$f")
      case $'\n'"$seen"$'\n' in
        *$'\n'"$name"$'\n'*) ;;
        *) echo ">>> train report written: $dir/$name"; seen="$seen"$'\n'"$name" ;;
      esac
    done
  done
}
