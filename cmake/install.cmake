# Installing and packaging: the two programs, a manual page for each, and the packages
# that CPack makes from them (a .deb on Linux, a .zip on Windows). The version in every
# page and package name is the one of project() in the top CMakeLists.txt.

include(GNUInstallDirs)

# The manual pages, both made from man/nivra.1.in. In that file a line that begins with
# @SIGN@ or @UNSIGN@ belongs to one program only; on the other program's page it becomes
# a troff comment.
set(NIVRA_MAN_DIR ${CMAKE_BINARY_DIR}/man)

function(nivra_man_page program)
  set(NIVRA_PROGRAM ${program})
  string(TOUPPER ${program} NIVRA_TITLE)
  set(comment [[.\" ]])
  if(program STREQUAL "nivra-sign")
    set(SIGN "")
    set(UNSIGN ${comment})
  else()
    set(SIGN ${comment})
    set(UNSIGN "")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/man/nivra.1.in ${NIVRA_MAN_DIR}/${program}.1 @ONLY)
endfunction()

nivra_man_page(nivra-sign)
nivra_man_page(nivra-unsign)

# On Windows the programs sit at the top of the .zip beside the README, where a user
# takes them from to copy into a tree; elsewhere they go to bin/ with the manual pages.
if(WIN32)
  set(NIVRA_INSTALL_BINDIR .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/README-windows.txt DESTINATION . RENAME README.txt)
else()
  set(NIVRA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  install(FILES ${NIVRA_MAN_DIR}/nivra-sign.1 ${NIVRA_MAN_DIR}/nivra-unsign.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(TARGETS nivra-sign nivra-unsign RUNTIME DESTINATION ${NIVRA_INSTALL_BINDIR})

# Packages.
set(NIVRA_PACKAGE_MAINTAINER "nivra developers <nivra@example.org>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME nivra)
set(CPACK_PACKAGE_VENDOR "nivra developers")
set(CPACK_PACKAGE_CONTACT ${NIVRA_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "re-encode C and C++ sources between Windows-1252 and signed UTF-8")
# Lines of the long description stay short, as Debian's control files want them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "nivra-sign, copied into the root of a source tree and started there, turns"
  "every .c, .cpp and .h file below from ANSI (Windows-1252) into UTF-8 with"
  "the signature, keeping each former file as NAME.OLD. nivra-unsign does the"
  "reverse, and refuses any file it cannot convert without loss.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The programs and the README at the top of the archive, not inside a folder.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR TGZ)
endif()

# Debian: nivra_VERSION_ARCH.deb.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${NIVRA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the programs link are read off the binaries where dpkg-shlibdeps is there
# (package dpkg-dev); otherwise the ones a C++ program of this compiler always needs.
find_program(NIVRA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NIVRA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()

include(CPack)
