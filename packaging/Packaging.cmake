# Release packages, made by CPack from an ordinary build tree:
#   Windows (the mingw-w64 tree build-win): Korvel-<version>-win64.zip with Korvel.exe and a
#     README in Russian for the technicians;
#   Linux (the tree build): a Debian package of korvel, zemlot-sim and cct with their manual
#     pages, the same Russian guide and a changelog.
# `cmake --build <tree> --target package` builds whichever the tree is for.

set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvel developers")
set(CPACK_PACKAGE_CONTACT "Korvel developers <korvel-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console firmware loader for a device's resident bootloader over RS-485")
# Installed programs carry no debugging sections and no build-tree paths.
set(CPACK_STRIP_FILES ON)

set(KORVEL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Copies src to out and compresses it to out.gz the way Debian wants (-n: no name or time
# stamp, so the package is reproducible).
function(korvel_gzip src out what)
  add_custom_command(
    OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${src} ${out}
    COMMAND gzip -9nf ${out}
    DEPENDS ${src}
    COMMENT "Compressing ${what}"
    VERBATIM)
endfunction()

if(WIN32)
  install(TARGETS korvel korvel-gang RUNTIME DESTINATION .)
  # Notepad shows the text right only with CRLF line ends (older versions show LF-only text as
  # one line) and with the UTF-8 byte order mark the source file starts with.
  configure_file(${KORVEL_PACKAGING_DIR}/windows/README.txt
                 ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "Korvel-${PROJECT_VERSION}-win64")
else()
  include(GNUInstallDirs)
  install(TARGETS korvel korvel-gang zemlot-sim cct RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Stripped as Debian strips: without the compilers' notes of their versions either.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program korvel korvel-gang zemlot-sim cct)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
      endforeach()
    endif()")

  # Debian keeps manual pages compressed.
  set(korvel_man_pages "")
  foreach(page korvel.1 korvel-gang.1 zemlot-sim.1 cct.1)
    # The version in each page's title comes from the project.
    set(src ${CMAKE_BINARY_DIR}/packaging/man-src/${page})
    configure_file(${KORVEL_PACKAGING_DIR}/man/${page}.in ${src} @ONLY)
    set(out ${CMAKE_BINARY_DIR}/packaging/man/${page})
    korvel_gzip(${src} ${out} "the manual page ${page}")
    list(APPEND korvel_man_pages ${out}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${korvel_man_pages})
  install(FILES ${korvel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The technicians' guide of the Windows archive, as Debian keeps text: UTF-8 without the
  # byte order mark that Notepad needs, LF line ends, and a few lines on the Linux port names
  # and permissions in front.
  set(guide_src ${KORVEL_PACKAGING_DIR}/windows/README.txt)
  set(guide_linux ${KORVEL_PACKAGING_DIR}/debian/README.ru.linux.txt)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${guide_src} ${guide_linux})
  file(READ ${guide_src} guide_bom LIMIT 3 HEX)
  if(guide_bom STREQUAL "efbbbf")
    file(READ ${guide_src} guide_text OFFSET 3)
  else()
    file(READ ${guide_src} guide_text)
  endif()
  file(READ ${guide_linux} guide_preface)
  set(guide ${CMAKE_BINARY_DIR}/packaging/README.ru.txt)
  file(CONFIGURE OUTPUT ${guide} CONTENT "${guide_preface}${guide_text}" @ONLY NEWLINE_STYLE UNIX)

  # A native package's changelog goes in as changelog.gz; its top entry must be this version.
  set(changelog_src ${KORVEL_PACKAGING_DIR}/debian/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog_src})
  file(STRINGS ${changelog_src} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^korvel \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog: the top entry is not version "
                        "${PROJECT_VERSION}: ${changelog_top}")
  endif()
  set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
  korvel_gzip(${changelog_src} ${changelog} "the changelog")
  add_custom_target(changelog ALL DEPENDS ${changelog}.gz)
  install(FILES ${guide} ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # CPack puts the summary above this as the synopsis line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "korvel reads an enciphered firmware container, finds and activates the
device's bootloader through a serial port and an RS-485 adapter, and in
programming mode erases the application area, writes the image in 8-byte
blocks, has the device check it by CRC-32 and starts the new application.
It never deciphers the image.
.
The package also holds korvel-gang, which programs the devices on several
ports at once with a loader each, a live view and a report; zemlot-sim, an
emulator of the bootloader on a
pseudo-terminal for trying the loader without hardware, and cct, a tool that
examines containers and makes test containers with a stand-in cipher.")
  find_program(KORVEL_DPKG dpkg)
  if(KORVEL_DPKG)
    execute_process(COMMAND ${KORVEL_DPKG} --print-architecture
                    OUTPUT_VARIABLE korvel_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${korvel_deb_arch})
  endif()
  # The programs need only the C and C++ runtimes; dpkg-shlibdeps works out the least
  # versions from the symbols they use. Without it (no dpkg-dev), the versions it gives on
  # Debian 12 stand in.
  find_program(KORVEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KORVEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  endif()
endif()

include(CPack)
