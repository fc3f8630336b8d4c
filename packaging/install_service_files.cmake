# Runs at install time (cmake --install, or cpack staging the packages), with CMAKE_INSTALL_PREFIX
# the prefix of that run: the service's files name the daemon and its configuration where this
# install puts them, whatever prefix the build tree was configured for.
#
# Expects: QM_SOURCE_DIR, QM_STAGE_DIR (a scratch folder of the build tree), QM_SBINDIR and
# QM_DATAROOTDIR (relative to the prefix, as GNUInstallDirs gives them).
#
# Installs:
#   <sysconf>/quillmap/quillmap.conf            the service's configuration (kept when present)
#   <sysconf>/logrotate.d/quillmap              the logrotate snippet (kept when present)
#   <prefix>/lib/systemd/system/quillmap.service
#   <datarootdir>/doc/quillmap/quillmap.conf.example  a pristine copy of the configuration
# <sysconf> is /etc for the prefix /usr, /etc/opt/X for /opt/X, else <prefix>/etc (the GNU rule).

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "")
  set(sysconf "/etc")
elseif(prefix MATCHES "^/opt/")
  set(sysconf "/etc${prefix}")
else()
  set(sysconf "${prefix}/etc")
endif()

# One scratch folder per destination, so that concurrent installs of one tree do not mix.
string(SHA1 stage_key "$ENV{DESTDIR}|${prefix}")
set(stage "${QM_STAGE_DIR}/${stage_key}")
file(MAKE_DIRECTORY "${stage}")

include("${QM_SOURCE_DIR}/packaging/service_config.cmake")
quillmap_service_config("${QM_SOURCE_DIR}/daemon/quillmap.conf.example" "${stage}/quillmap.conf")
configure_file("${QM_SOURCE_DIR}/packaging/quillmap.logrotate" "${stage}/quillmap" COPYONLY)

file(READ "${QM_SOURCE_DIR}/packaging/quillmap.service" unit)
string(REPLACE "/usr/sbin/quillmap" "${prefix}/${QM_SBINDIR}/quillmap" unit "${unit}")
string(REPLACE "/etc/quillmap/" "${sysconf}/quillmap/" unit "${unit}")
string(REPLACE "/etc/logrotate.d/" "${sysconf}/logrotate.d/" unit "${unit}")
file(WRITE "${stage}/quillmap.service" "${unit}")

# Configuration an operator may have edited is never overwritten by a later install (the packages
# ship these files as conffiles, and dpkg takes care of them there).
function(install_unless_present file destination)
  get_filename_component(name "${file}" NAME)
  if(EXISTS "$ENV{DESTDIR}${destination}/${name}")
    message(STATUS "Keeping: $ENV{DESTDIR}${destination}/${name}")
    return()
  endif()
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${file}")
endfunction()

install_unless_present("${stage}/quillmap.conf" "${sysconf}/quillmap")
install_unless_present("${stage}/quillmap" "${sysconf}/logrotate.d")
file(INSTALL DESTINATION "${prefix}/lib/systemd/system" TYPE FILE FILES "${stage}/quillmap.service")
file(INSTALL DESTINATION "${prefix}/${QM_DATAROOTDIR}/doc/quillmap" TYPE FILE
     FILES "${stage}/quillmap.conf.example")
file(REMOVE_RECURSE "${stage}")
