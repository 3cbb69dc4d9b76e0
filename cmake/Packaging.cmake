# Release packages, made by scripts/release.sh: CPack's DEB generator for
# the Linux build (the program, its manual page, the README, the copyright
# file, the changelog, the systemd unit with its system user and the
# lintian overrides), its ZIP generator for the Windows build (both
# programs exactly as built and tested, a short read-me in English and
# German and the licences, as Windows programs read text:
# CR LF line ends, the German one in UTF-16 with a byte-order mark, which
# both Notepad and cmd's "type" read correctly whatever the code page).
# Both take their timestamps from SOURCE_DATE_EPOCH.
set(CPACK_PACKAGE_NAME tevgen)
set(CPACK_PACKAGE_VENDOR "tevgen developers")
set(CPACK_PACKAGE_CONTACT "tevgen developers <tevgen@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "XML catalogue of a folder of numbered SVG clip-art images")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# @TEVGEN_VERSION@ in the texts configured below: project()'s version.
set(TEVGEN_VERSION ${PROJECT_VERSION})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "tevgen-${PROJECT_VERSION}-windows-x64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The programs are stripped when they are linked; a second strip here
  # would also stamp a link timestamp into them.
  set(CPACK_STRIP_FILES OFF)
  configure_file(packaging/README.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(packaging/LICENSE-mingw-w64.txt LICENSE-mingw-w64.txt @ONLY
    NEWLINE_STYLE CRLF)
  configure_file(packaging/LIESMICH.txt LIESMICH.utf8.txt @ONLY
    NEWLINE_STYLE CRLF)
  execute_process(
    COMMAND sh -c "printf '\\377\\376' && iconv -f UTF-8 -t UTF-16LE LIESMICH.utf8.txt"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/LIESMICH.txt
    RESULT_VARIABLE iconv_result)
  if(NOT iconv_result EQUAL 0)
    message(FATAL_ERROR "cannot convert LIESMICH.txt to UTF-16 (iconv)")
  endif()
  # The logon task (README.txt), UTF-16 as Task Scheduler reads it.
  configure_file(packaging/tevgen-watch.xml tevgen-watch.utf8.xml @ONLY
    NEWLINE_STYLE CRLF)
  execute_process(
    COMMAND sh -c "printf '\\377\\376' && iconv -f UTF-8 -t UTF-16LE tevgen-watch.utf8.xml"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/tevgen-watch.xml
    RESULT_VARIABLE iconv_result)
  if(NOT iconv_result EQUAL 0)
    message(FATAL_ERROR "cannot convert tevgen-watch.xml to UTF-16 (iconv)")
  endif()
  foreach(text README.txt LIESMICH.txt LICENSE.txt LICENSE-mingw-w64.txt
      tevgen-watch.xml)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${text} DESTINATION .)
  endforeach()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
  # The long description; CPack puts the summary above it.
  set(CPACK_PACKAGE_DESCRIPTION
"tevgen writes tev.xml, the XML catalogue that a clip-art gallery reads,
from a folder of SVG images named by number (0042.svg, 1234.svg, ...).
Each image gets its number, one of nineteen German category names chosen
by the number, and the width and height found in its text.
.
The catalogue is replaced in one atomic step, so it is always the old one
or the complete new one; tevgen is safe to run as root over folders that
other users fill. With --watch it keeps a folder's catalogue current as
images come and go; a systemd service (tevgen@.service, not enabled) runs
it for a folder.")

  set(docs ${CMAKE_INSTALL_DATAROOTDIR}/doc/tevgen)
  configure_file(doc/tevgen.1 tevgen.1 @ONLY)
  configure_file(packaging/changelog changelog @ONLY)
  # Debian's way: compressed as gzip -9n, without a name or a timestamp.
  foreach(file tevgen.1 changelog)
    add_custom_command(OUTPUT ${file}.gz
      COMMAND gzip -9n -c ${file} > ${file}.gz
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file})
  endforeach()
  add_custom_target(tevgen_docs ALL DEPENDS tevgen.1.gz changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tevgen.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md packaging/copyright
    ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${docs})
  # The service, its system user and the lintian overrides are the
  # package's alone: the unit runs /usr/bin/tevgen and its user is made by
  # the package's postinst, so a source install to another prefix
  # (cmake --install build --prefix /usr/local) would put a unit in place
  # whose program is not there. They are left out of a plain install and
  # put into the .deb (CPACK_INSTALL_CMAKE_PROJECTS).
  install(FILES packaging/tevgen@.service
    DESTINATION lib/systemd/system COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES packaging/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME tevgen
    COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES packaging/tevgen.sysusers
    DESTINATION lib/sysusers.d RENAME tevgen.conf
    COMPONENT deb EXCLUDE_FROM_ALL)
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};tevgen;Unspecified;/"
    "${CMAKE_BINARY_DIR};tevgen;deb;/")
endif()

include(CPack)
