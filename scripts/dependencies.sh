# The Debian packages rxiq needs, listed once: every script installs from these lists
# through install_missing. Sourced, not run.

# The libraries the programs link, as -dev packages. A cross build installs the same
# list for its architecture (name:arm64).
rxiq_libraries=(librtlsdr-dev portaudio19-dev zlib1g-dev libasound2-dev libjack-jackd2-dev libhwy-dev)
# What builds the programs.
rxiq_build_tools=(build-essential cmake pkg-config ccache)
# The tests, the benchmarks and the programs they talk to, and the manual pages' tools.
rxiq_test_packages=(libgtest-dev libbenchmark-dev libliquid-dev
  pulseaudio pulseaudio-utils libasound2-plugins alsa-utils tmux groff-base man-db
  # Hamlib's rigctl, the real client of the control port.
  libhamlib-utils
  # Decoders that judge the listening channel: direwolf (its atest), multimon-ng, and sox
  # to resample for multimon-ng.
  direwolf multimon-ng sox
  # librtlsdr's own tools (rtl_sdr captures that the receiver replays).
  rtl-sdr
  # libusb's header, for the USB-level dongle emulator that stands in under librtlsdr.
  libusb-1.0-0-dev
  # Fuzzing: clang with libFuzzer.
  clang-14 libfuzzer-14-dev)
# The Windows build: mingw-w64's posix-threads compilers, zlib for it, GoogleTest's
# sources to build for it, Wine to run its tests, and a virtual X display with key
# presses and screenshots for the display drawn on the console window.
rxiq_windows_packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine wine64
  xvfb xdotool imagemagick)
# Making and checking the Debian packages; systemd-analyze (systemd) verifies the service's unit.
rxiq_packaging_tools=(dpkg-dev file lintian systemd)
# The arm64 cross build, and running its tests under emulation.
rxiq_arm64_tools=(g++-aarch64-linux-gnu)
rxiq_arm64_test_packages=(qemu-user libgtest-dev:arm64)
# Real terminal emulators for scripts/check-terminals.
rxiq_terminal_packages=(xvfb xterm kitty xdotool imagemagick)

rxiq_sudo=""
[ "$(id -u)" -eq 0 ] || rxiq_sudo="sudo"

rxiq_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Installs those of the named packages that are missing, as root or through sudo.
install_missing() {
  local missing=() p
  for p in "$@"; do rxiq_installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    $rxiq_sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $rxiq_sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >&2
  fi
}

# Lets dpkg install packages of another architecture (arm64) beside this machine's.
add_architecture() {
  if [ "$1" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$1"; then
    echo "Adding the $1 architecture" >&2
    $rxiq_sudo dpkg --add-architecture "$1"
    $rxiq_sudo apt-get update -qq
  fi
}

# The library list for an architecture: as it is for this machine's, name:ARCH otherwise.
libraries_for() {
  if [ "$1" = "$(dpkg --print-architecture)" ]; then
    echo "${rxiq_libraries[@]}"
  else
    echo "${rxiq_libraries[@]/%/:$1}"
  fi
}
