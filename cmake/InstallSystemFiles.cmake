# Runs at install time: writes the systemd units and their environment files
# for the prefix being installed to. KIV_SYSTEMD_SOURCE_DIR and
# KIV_INSTALL_DATADIR come from Install.cmake.

set(prefix "${CMAKE_INSTALL_PREFIX}")
set(KIV_BINDIR "${prefix}/bin")
set(KIV_DATADIR "${prefix}/${KIV_INSTALL_DATADIR}")
if(prefix STREQUAL "/usr" OR prefix MATCHES "^/opt/")
    set(unitdir /lib/systemd/system)
    set(KIV_CONFDIR /etc/default)
    set(KIV_STATEDIR /var/lib/kivautotest)
else()
    set(unitdir "${prefix}/lib/systemd/system")
    set(KIV_CONFDIR "${prefix}/etc/default")
    set(KIV_STATEDIR "${KIV_BINDIR}/Data")
endif()

function(kiv_install_configured source destination)
    file(READ "${KIV_SYSTEMD_SOURCE_DIR}/${source}" text)
    string(CONFIGURE "${text}" text @ONLY)
    set(path "$ENV{DESTDIR}${destination}")
    message(STATUS "Installing: ${path}")
    file(WRITE "${path}" "${text}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${destination}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

foreach(program autotest-host autotest-server controller-emulator)
    kiv_install_configured(${program}.service.in "${unitdir}/${program}.service")
    kiv_install_configured(${program}.default.in "${KIV_CONFDIR}/${program}")
endforeach()

# The programs keep their data in Data/ beside them, which a system prefix
# does not allow to change: it becomes the services' state folder.
if(NOT KIV_STATEDIR STREQUAL "${KIV_BINDIR}/Data")
    set(link "$ENV{DESTDIR}${KIV_BINDIR}/Data")
    if(IS_SYMLINK "${link}" OR NOT EXISTS "${link}")
        message(STATUS "Installing: ${link} -> ${KIV_STATEDIR}")
        file(REMOVE "${link}")
        file(CREATE_LINK "${KIV_STATEDIR}" "${link}" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${KIV_BINDIR}/Data")
    else()
        message(WARNING "${link} is a folder, not a link to ${KIV_STATEDIR}: the services will keep their data there")
    endif()
endif()
