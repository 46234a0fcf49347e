# The packages of the static release build: a Debian package that installs like any other, and a
# tarball for people who install with `vemloctl install` into their home folder.
#
#   cmake --workflow --preset package     # build/package/vemloconfig_<version>_amd64.deb and .tar.gz
#
# Two install components, because the two lay the same files out differently: "deb" in the places
# Debian puts them (under /usr), "tarball" flat in one folder, with the unit that starts the agent
# from ~/.local/bin where `vemloctl install` puts it. cmake/PackagingPerGenerator.cmake picks one
# component per generator.

find_program(SCDOC_EXECUTABLE scdoc)
find_program(GZIP_EXECUTABLE gzip)
if(NOT SCDOC_EXECUTABLE OR NOT GZIP_EXECUTABLE)
  message(WARNING "scdoc or gzip not found (scripts/bootstrap installs them): no man pages and no packages")
  return()
endif()

# The changelog's newest entry is the version the package claims; it must be this one.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _changelog_top LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
if(NOT _changelog_top MATCHES "^vemloconfig \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${_changelog_top}\"; "
                      "its newest entry must be for version ${PROJECT_VERSION}")
endif()

# cpack would otherwise build every target, tests included, before it installs; the package preset
# builds what the packages hold.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_pkg ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_pkg})

# Man pages: troff for the tarball, compressed as Debian wants them (gzip -9n: no name, no time).
set(_man_outputs)
foreach(_page vemloconfig-agent vemloctl)
  set(_src ${PROJECT_SOURCE_DIR}/packaging/man/${_page}.1.scd)
  add_custom_command(
    OUTPUT ${_pkg}/${_page}.1 ${_pkg}/${_page}.1.gz
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC_EXECUTABLE} ${_src} ${_pkg}/${_page}.1
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$1.gz\"" ${GZIP_EXECUTABLE} ${_pkg}/${_page}.1
    DEPENDS ${_src}
    COMMENT "Man page ${_page}(1)"
    VERBATIM)
  list(APPEND _man_outputs ${_pkg}/${_page}.1 ${_pkg}/${_page}.1.gz)
endforeach()
add_custom_command(
  OUTPUT ${_pkg}/changelog.gz
  COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${GZIP_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/changelog
          ${_pkg}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(vemlo_package_docs ALL DEPENDS ${_man_outputs} ${_pkg}/changelog.gz)

# The package's unit starts the agent where the package puts it.
file(READ ${PROJECT_SOURCE_DIR}/packaging/vemloconfig-agent.service _unit)
string(REGEX REPLACE "\nExecStart=[^\n]*" "\nExecStart=/usr/bin/vemloconfig-agent" _unit "${_unit}")
string(REGEX REPLACE "\n# Install:[^\n]*\n#[^\n]*\n"
       "\n# Enable it for yourself with `vemloctl install` (or systemctl --user enable --now vemloconfig-agent).\n"
       _unit "${_unit}")
file(WRITE ${_pkg}/vemloconfig-agent.service "${_unit}")

# Debian layout, relative to /usr.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS vemloconfig-agent vemloctl RUNTIME DESTINATION bin COMPONENT deb)
install(FILES ${_pkg}/vemloconfig-agent.service DESTINATION lib/systemd/user COMPONENT deb)
install(FILES ${_pkg}/vemloconfig-agent.1.gz ${_pkg}/vemloctl.1.gz DESTINATION share/man/man1 COMPONENT deb)
install(FILES packaging/completions/vemloctl.bash DESTINATION share/bash-completion/completions
        RENAME vemloctl COMPONENT deb)
install(FILES packaging/completions/_vemloctl DESTINATION share/zsh/vendor-completions COMPONENT deb)
install(FILES packaging/completions/vemloctl.fish DESTINATION share/fish/vendor_completions.d COMPONENT deb)
install(FILES packaging/copyright ${_pkg}/changelog.gz DESTINATION share/doc/vemloconfig COMPONENT deb)
install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME vemloconfig COMPONENT deb)

# Tarball layout: one folder, as `vemloctl install` expects it (the agent next to vemloctl).
install(TARGETS vemloconfig-agent vemloctl RUNTIME DESTINATION . COMPONENT tarball)
install(FILES packaging/vemloconfig-agent.service ${_pkg}/vemloconfig-agent.1 ${_pkg}/vemloctl.1 README.md
        SECURITY.md DESTINATION . COMPONENT tarball)
install(FILES packaging/completions/vemloctl.bash packaging/completions/_vemloctl packaging/completions/vemloctl.fish
        DESTINATION completions COMPONENT tarball)

set(CPACK_PACKAGE_NAME vemloconfig)
set(CPACK_PACKAGE_VENDOR "vemloconfig")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vemlo keyboard lever and LED for AI coding assistants")
set(CPACK_PACKAGE_DESCRIPTION
    "The Vemlo keyboard carries a physical lever and an LED. vemloconfig-agent lets
the lever decide whether Claude Code, Codex, Cursor and the Kimi CLI may run
tools without asking (lever at 0) or must ask (any other position), and shows
on the LED what the assistant is doing. It runs as a systemd user service that
links the keyboard through BlueZ, and as the assistants' hook program. vemloctl
registers the hooks and enables the service for a user.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_GENERATOR DEB TGZ)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vemloconfig maintainers <maintainers@vemloconfig.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Both programs are fully static: the package depends on nothing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")

set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

configure_file(${PROJECT_SOURCE_DIR}/cmake/PackagingPerGenerator.cmake.in ${_pkg}/PackagingPerGenerator.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${_pkg}/PackagingPerGenerator.cmake)
include(CPack)
