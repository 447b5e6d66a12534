# The Debian package: `cpack -G DEB` in a build directory packs what `cmake --install` installs
# (the program into /usr/bin, its manual page into /usr/share/man/man1) as
# kvpcaprecorder_<version>_<architecture>.deb.

set(KV_PACKAGE_MAINTAINER "Kova <packages@kova.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvpcaprecorder)
set(CPACK_PACKAGE_VENDOR Kova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kova Velox packets recorder")
# Lines of the long description, as Debian shows them (at most 79 characters each).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Records the packets of one network adapter served by the Kova Velox"
    "packet-filter driver through libpcap into memory, in a fixed-count, continuous"
    "or circular mode, and writes them to a classic pcap capture file when the"
    "recording ends. It can also list the adapters with their addresses and driver"
    "state.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The capture library's runtime package, declared whatever dpkg-shlibdeps finds; where that tool
# exists it adds the C and C++ runtime libraries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcap0.8 (>= 1.10)")
find_program(KV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KV_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# Debian keeps manual pages gzip-compressed; CPack runs this script on its staged install before
# packing. -n leaves out the name and time stamp, so equal pages give equal packages.
set(KV_COMPRESS_MAN_PAGES ${CMAKE_BINARY_DIR}/CPackCompressManPages.cmake)
file(CONFIGURE OUTPUT ${KV_COMPRESS_MAN_PAGES} @ONLY CONTENT [[
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(file MATCHES "/share/man/man[1-9]/[^/]+$" AND NOT file MATCHES "\\.gz$")
        execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "Cannot compress the manual page ${file}")
        endif()
    endif()
endforeach()
]])
set(CPACK_PRE_BUILD_SCRIPTS ${KV_COMPRESS_MAN_PAGES})

include(CPack)
