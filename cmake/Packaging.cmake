# Debian packages, one per install component (CPack's DEB generator):
#
#   pwd-changer       the tool, its man page and completion
#   libqova5          the stand-in gateway client library libqova.so.5
#   libqova-dev       qova.h and the libqova.so link
#   qova-router       the local router, its man page, completion and service
#   libqovautils-dev  the qovautils library, headers, CMake package, .pc file
#
# The tool only recommends the stand-in library, so that a site with the
# platform's own libqova.so.5 can leave it out.  scripts/package.sh builds
# them from a build configured for /usr.  Needs from packaging/: the
# component -> package list (PWD_PACKAGES), PWD_DEBIAN_RELEASE and
# PWD_PACKAGE_MAINTAINER, both read from debian/changelog.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pwd-changer)
set(CPACK_PACKAGE_VENDOR "The pwd_changer developers")
set(CPACK_PACKAGE_CONTACT "${PWD_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE ${PWD_DEBIAN_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE pwd-changer)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libqova.so.5 beside the build; it has no shlibs file
# there, so the tool's package names it in Recommends by hand.
get_target_property(qova_build_dir qova BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${qova_build_dir})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(pwd_deb_version ${PROJECT_VERSION}-${PWD_DEBIAN_RELEASE})
foreach(entry IN LISTS PWD_PACKAGES)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 component)
  list(GET entry 1 package)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  list(APPEND CPACK_COMPONENTS_ALL ${component})
endforeach()

set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS "libqova5")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
  "change a password on the trading system through its gateway
pwd_changer asks on the terminal for the old password and twice for the new
one, posts one ChangePassword request through the gateway client library
libqova.so.5 and reports the password service's answer. It exits 0 only when
the service accepted the change.

The library comes from the trading platform, or from the stand-in package
libqova5 that this package recommends.")

set(CPACK_DEBIAN_LIBQOVA_PACKAGE_SECTION libs)
# A shlibs file for the one package with a shared library, and the loader's
# cache refreshed through libc's trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBQOVA_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libqova5/triggers)
set(CPACK_COMPONENT_LIBQOVA_DESCRIPTION
  "stand-in gateway client library libqova.so.5
A library with the C interface of the trading platform's gateway client
library that talks to qova-router over TCP, so that pwd_changer runs end to
end without the platform. A site with the platform's own library does not
install this package.")

set(CPACK_DEBIAN_LIBQOVA_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBQOVA_DEV_PACKAGE_DEPENDS "libqova5 (= ${pwd_deb_version})")
set(CPACK_COMPONENT_LIBQOVA_DEV_DESCRIPTION
  "development files of the gateway client library libqova
The C header qova.h, the interface of the gateway client library, and the
libqova.so link to build programs against the stand-in library libqova5.")

set(CPACK_DEBIAN_ROUTER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_ROUTER_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/qova-router/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/qova-router/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/qova-router/postrm)
set(CPACK_COMPONENT_ROUTER_DESCRIPTION
  "stand-in gateway router with the password service KOLMA_SRV
qova-router plays the gateway router that libqova connects to and the
password service behind it, for one account kept in a SQLite database as an
Argon2id hash with an audit trail. It comes with a hardened systemd unit,
qova-router.service, which is not enabled until the account exists.")

set(CPACK_DEBIAN_QOVAUTILS_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_QOVAUTILS_DESCRIPTION
  "small C++ utility library qovautils
Base64, printf-style formatting and number conversion, CP1251 to UTF-8,
the operating system's version and file helpers, as a library with its
headers, a CMake package and a pkg-config file.")

include(CPack)
