# The Debian package: `make deb` runs CPack's DEB generator on the build tree.
# Installed below /usr; the shared-library dependencies come from the
# binaries themselves (dpkg-shlibdeps), the sound server is recommended.

set(MIVO_MAINTAINER "Mivo developers <mivo@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(MIVO_HOMEPAGE "https://github.com/mivo/mivo" CACHE STRING
    "Home page named by the package and the AppStream metadata")
set(MIVO_SCREENSHOT_URL "https://raw.githubusercontent.com/mivo/mivo/main/docs/mivo-window.png"
    CACHE STRING "Where software centres fetch the screenshot (docs/mivo-window.png)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mivo)
set(CPACK_PACKAGE_VENDOR "Mivo developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MIVO_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "audio recorder for records, tapes and radio")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Mivo records a sound input (PulseAudio, PipeWire or ALSA) into numbered
WAV tracks, split by hand or at the silences between songs, and turns each
finished track into its final form while the next one records: normalized,
de-emphasised, resampled from 48 to 44.1 kHz, encoded to MP3 or WMA.
A timer records unattended and can then log off or power off the machine.
The window's texts are Japanese. mivo-convert runs the same processing on
WAV files from the command line.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${MIVO_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Added to what dpkg-shlibdeps finds: the window's texts need a Japanese font,
# Qt's own buttons (はい, いいえ) its Japanese translations.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-vlgothic | fonts-japanese-gothic")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-user-dirs")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
