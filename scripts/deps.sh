# Sourced by scripts/run and scripts/test: installs the Debian 12 packages that are missing.
# Runs apt-get only when something is missing, so a second run installs nothing.
IPS_PACKAGES=(
  cmake make g++ pkg-config
  qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins libqt5network5
  libopencv-dev libjpeg-dev libavformat-dev libavcodec-dev libavutil-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  ffmpeg
  xvfb xauth
)

ips_install_missing() {
  local missing=() p
  for p in "${IPS_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

ips_build() { # ips_build <build dir> [cmake args...]
  local dir=$1; shift
  cmake -S "$IPS_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}
