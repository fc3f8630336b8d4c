# Debian packages, one per install component:
#   quillmap                 component quillmap: daemon, CLI, systemd unit, logrotate snippet, the
#                            configuration /etc/quillmap/quillmap.conf (a conffile), man pages 8, 5, 1,
#                            the example configuration; its postinst creates the account quillmap
#   libquillmap-reader0      component reader: the shared library
#   libquillmap-reader-dev   component reader_dev: headers, static library, pkg-config file, CMake
#                            package, quillmap_reader(3)
#   python3-quillmap         component python (when the module is built): the Python module
# Build them with `cpack` in the build tree (see README.md). The packages install under /usr, whatever
# prefix the tree was configured for; a tree configured with -DCMAKE_INSTALL_PREFIX=/usr also puts
# the library in the multiarch directory and gives the programs no RPATH.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quillmap maintainers <maintainers@quillmap.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install into a staging root (DESTDIR) with the prefix /usr, so that /etc is /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quillmap reader reader_dev)
if(TARGET quillmap_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on shared libraries come from dpkg-shlibdeps (dpkg-dev); between our own packages
# they are stated here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_QUILLMAP_PACKAGE_NAME quillmap)
set(CPACK_DEBIAN_QUILLMAP_PACKAGE_SECTION database)
set(CPACK_DEBIAN_QUILLMAP_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_QUILLMAP_PACKAGE_SUGGESTS "logrotate")
set(CPACK_DEBIAN_QUILLMAP_DESCRIPTION
  "dictionary daemon in System V shared memory
quillmap keeps string and address keys (IPv4/IPv6 prefixes) with values and expiry times in a
System V shared-memory segment, serves them over a Unix socket and lets local programs read
values straight from the segment. This package holds the daemon, its command-line client and
the systemd service.")
set(packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_DEBIAN_QUILLMAP_PACKAGE_CONTROL_EXTRA
  ${packaging_dir}/debian/conffiles ${packaging_dir}/debian/postinst ${packaging_dir}/debian/prerm
  ${packaging_dir}/debian/postrm)
set(CPACK_DEBIAN_QUILLMAP_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_READER_PACKAGE_NAME libquillmap-reader${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_READER_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_READER_DESCRIPTION
  "read a running quillmap dictionary from its shared segment
The reader library looks values and longest-prefix matches up in place in the segment of a
running quillmap daemon, through a C and a C++ interface.")

set(CPACK_DEBIAN_READER_DEV_PACKAGE_NAME libquillmap-reader-dev)
set(CPACK_DEBIAN_READER_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_READER_DEV_DEPENDS reader)
set(CPACK_DEBIAN_READER_DEV_DESCRIPTION
  "read a running quillmap dictionary from its shared segment (development files)
Headers, the static library, the pkg-config file quillmap-reader and the CMake package
quillmap_reader of the quillmap reader library.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quillmap)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${QUILLMAP_PYTHON_DEPENDS}")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "Python module for quillmap
The module quillmap reads values and longest-prefix matches from the shared segment of a running
quillmap daemon (quillmap.Reader) and changes its dictionary through its socket (quillmap.Client).")

include(CPack)
