# `cpack` in an optimised build folder makes two Debian packages:
#   corvex-studio   the studio, the corvex tool, the desktop entry, metainfo and icons
#   corvex-service  the reference light-show service and its systemd unit
# Every install rule belongs to corvex-studio unless it names the service's
# component (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME, set before the folders are
# added); a rule with a component of its own gets a package of its own.
# Dependencies on libraries come from the programs (dpkg-shlibdeps); the ones
# below are loaded at run time, where that scan cannot see them.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME corvex-studio)
set(CPACK_PACKAGE_VENDOR "Corvex")
set(CPACK_PACKAGE_CONTACT "${CORVEX_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvex.app/")
# The version the programs report (with the commit), read when cpack runs.
set(CPACK_CORVEX_VERSION_FILE ${CORVEX_VERSION_FILE})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_version.cmake)

set(CPACK_DEBIAN_STUDIO_PACKAGE_NAME corvex-studio)
set(CPACK_DEBIAN_STUDIO_PACKAGE_SECTION video)
set(CPACK_DEBIAN_STUDIO_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-image-formats-plugins, qt6-wayland")
set(CPACK_DEBIAN_STUDIO_PACKAGE_RECOMMENDS "avahi-daemon, xdg-utils, xdg-desktop-portal")
set(CPACK_DEBIAN_STUDIO_PACKAGE_SUGGESTS "corvex-service")
set(CPACK_COMPONENT_STUDIO_DESCRIPTION "author ambient-light shows for movies and TV episodes
Corvex Studio records the light shows that ambient lights play along with a
film or an episode. It captures one display or one window with its sound (on
X11, or through the screen-cast portal on Wayland), reduces every frame to a
3 x 3 grid of colours with time stamps, fingerprints the soundtrack, streams
the colours live to a light receiver found on the local network, and uploads
the finished show to a light-show service. Shows can also be made from video
files.
.
This package holds the studio (corvex-studio) and the command-line tool
(corvex), which records, authors, checks and uploads shows.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME corvex-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "libqt6sql6-psql")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "reference light-show service for Corvex Studio
A small web service that Corvex Studio and the corvex tool can sign in to and
upload light shows to: a sign-in page with account creation, access tokens
that expire, uploads checked to be valid light shows, and each author's list
of shows, kept in SQLite or in a PostgreSQL server. It can also serve a small
demo catalogue of public-domain titles.
.
It comes with a systemd unit, corvex-service.service, which is not enabled
when the package is installed.")
include(CPack)
