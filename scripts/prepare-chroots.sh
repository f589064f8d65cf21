#!/usr/bin/env bash
# Makes the trixie and sid chroots of the newer-desktop stages (25, 80, 85)
# with everything they install, ahead of those stages. scripts/test.sh starts
# it in the background, so that downloading and unpacking some gigabytes of
# desktops overlaps the stages before them instead of adding to the run.
#
# Only a head start: each stage still asks rig/chroot.sh for what it needs
# (that waits on the chroot's lock while this runs, then finds the packages
# there). What this script misses, the stage installs itself.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
chroot=$root/rig/chroot.sh

# The library's run-time libraries and the portal rigs' buses and tools.
common=(libxcb1 libxcb-shm0 libxcb-randr0 libxcb-composite0 libxcb-xinerama0 libxcb-xfixes0
  libwayland-client0
  libsystemd0 zlib1g libjpeg62-turbo dbus-daemon libglib2.0-bin python3-gi gir1.2-glib-2.0 xdg-desktop-portal
  libgl1-mesa-dri libegl-mesa0)
gnome=(gnome-shell xdg-desktop-portal-gnome dconf-service gsettings-desktop-schemas)
kde=(kwin-wayland xdg-desktop-portal-kde qt6-wayland plasma-workspace
  qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-org-kde-kirigami)

step() { # step WHAT COMMAND...
  local t0=$SECONDS
  if "${@:2}" >/dev/null; then
    echo "prepare-chroots: $1 in $((SECONDS - t0)) s"
  else
    echo "prepare-chroots: $1 FAILED after $((SECONDS - t0)) s (the stage will try again)"
  fi
}

# Wine first: stage 25 comes right after the Windows stage.
wine=(wine wine64 wine32:i386 locales)
for lib in libxrandr2 libxrender1 libxinerama1 libxcomposite1 libxfixes3 libxi6 libxcursor1; do
  wine+=("$lib" "$lib:i386")
done
step "trixie with Wine 10" "$chroot" ensure trixie trixie --i386 "${wine[@]}"
step "sid desktops" "$chroot" ensure sid sid "${common[@]}" sway swaybg grim labwc wlr-randr \
  "${gnome[@]}" "${kde[@]}"
step "trixie desktops" "$chroot" ensure trixie trixie "${common[@]}" sway swaybg grim python3-venv \
  "${gnome[@]}" "${kde[@]}"
