# Installing and packaging: the two programs, a manual page for each, and the packages
# that CPack makes from them (a .deb on Linux, a .zip on Windows). The version in every
# page and package name is the one of project() in the top CMakeLists.txt.

include(GNUInstallDirs)

set(NIVRA_PACKAGE_MAINTAINER "nivra developers <nivra@example.org>"
    CACHE STRING "Maintainer named in the packages")

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
  # Notepad before Windows 10 shows a text whose lines end in LF alone as one line.
  foreach(text docs/README-windows.txt:README.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" text ${text})
    list(GET text 0 from)
    list(GET text 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} content)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${CMAKE_BINARY_DIR}/text/${to} "${content}")
    install(FILES ${CMAKE_BINARY_DIR}/text/${to} DESTINATION .)
  endforeach()
else()
  set(NIVRA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  # Compressed as Debian's policy wants pages, the changelog and no timestamps; the
  # copyright file is the licence in Debian's machine-readable form.
  set(NIVRA_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
  string(TIMESTAMP NIVRA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${NIVRA_DOC_DIR}/changelog @ONLY)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) [^\n]*\n\n" "" licence "${licence}")
  string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" licence " ${licence}")
  file(WRITE ${NIVRA_DOC_DIR}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: nivra\n\nFiles: *\nCopyright: 2026 the nivra developers\nLicense: MIT\n"
    "${licence}")
  set(gzipped)
  foreach(file man/nivra-sign.1 man/nivra-unsign.1 doc/changelog)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${file}.gz
      COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/${file} > ${CMAKE_BINARY_DIR}/${file}.gz
      DEPENDS ${CMAKE_BINARY_DIR}/${file} VERBATIM)
    list(APPEND gzipped ${CMAKE_BINARY_DIR}/${file}.gz)
  endforeach()
  add_custom_target(nivra_compressed_docs ALL DEPENDS ${gzipped})
  install(FILES ${NIVRA_MAN_DIR}/nivra-sign.1.gz ${NIVRA_MAN_DIR}/nivra-unsign.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${NIVRA_DOC_DIR}/copyright ${NIVRA_DOC_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(TARGETS nivra-sign nivra-unsign RUNTIME DESTINATION ${NIVRA_INSTALL_BINDIR})

# Packages.

set(CPACK_PACKAGE_NAME nivra)
set(CPACK_PACKAGE_VENDOR "nivra developers")
set(CPACK_PACKAGE_CONTACT ${NIVRA_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "re-encode C and C++ sources between the ANSI code page and signed UTF-8")
# Lines of the long description stay short, as Debian's control files want them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "nivra-sign, copied into the root of a source tree and started there, turns"
  "every .c, .cpp and .h file below from the ANSI code page into UTF-8 with the"
  "signature, keeping each former file as NAME.OLD. The code page follows the"
  "locale: Windows-1252 for most languages, Shift_JIS for Japanese, and so on."
  "nivra-unsign does the reverse, and refuses any file it cannot convert"
  "without loss.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # nivra-VERSION-win32.zip, or -win64 for the x86-64 programs.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
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
