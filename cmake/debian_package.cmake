# The Debian package bobbin-dev, made by CPack from the install rules: the static
# library, the headers, the CMake package, bobbin.pc, the license and the
# changelog. The `package` presets configure it with the prefix /usr, so the
# library directory is Debian's multiarch one and the documents go to
# /usr/share/doc/bobbin-dev, where Debian looks for them.

# Debian names a package's license file share/doc/<package>/copyright. It is
# packaged only: a plain install has the LICENSE beside the changelog.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bobbin-dev)
set(CPACK_PACKAGE_CONTACT "The bobbin authors <maintainers@users.noreply.c-seed-9017a2d0.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "C++17 run-time library for Linux console programs")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "bobbin gives a console program recursive critical sections, a recursive\n"
    "mutex, auto- and manual-reset events with a request-and-reply handshake,\n"
    "a thread-object base class, a processor-topology probe and 64-bit\n"
    "calendar time with its own reader of zone files.\n"
    "\n"
    "This package holds the static library, the headers, the CMake package\n"
    "(find_package(bobbin)) and the pkg-config file bobbin.pc.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Every file of the project's own install, then the packaged-only component.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};bobbin;ALL;/" "${PROJECT_BINARY_DIR};bobbin;debian;/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # bobbin-dev_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A static library holds no shared object for dpkg-shlibdeps to read: what the
# archive needs is bound when a program links it. Its headers and its objects
# need the C library's development files, at least the release they were built
# against, since an older C library may lack a symbol that its headers named.
execute_process(COMMAND getconf GNU_LIBC_VERSION OUTPUT_VARIABLE bobbin_libc
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(bobbin_libc MATCHES "^glibc ([0-9]+\\.[0-9]+)")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6-dev (>= ${CMAKE_MATCH_1})")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6-dev")
endif()
include(CPack)
