# Installation layout and the Debian package.
#
#   cmake --install <build> [--prefix /usr/local]    installs the program, manual page,
#                                                     bash completion and signature set
#   cpack -G DEB  (run in <build>)                    builds bytrove_<version>_amd64.deb

include(GNUInstallDirs)

install(TARGETS bytrove RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/bytrove.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The shipped signature set, found by `--patterns=signatures.set` from any directory.
install(FILES ${PROJECT_SOURCE_DIR}/samples/signatures.set
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bytrove)
# bash-completion loads a command's completion on demand from a file named after the command.
install(FILES ${PROJECT_SOURCE_DIR}/completions/bytrove.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME bytrove)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bytrove)
set(CPACK_PACKAGE_VENDOR "Bytrove developers")
set(CPACK_PACKAGE_CONTACT "Bytrove developers <dev@bytrove.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "search files for a byte pattern and print every offset")
set(CPACK_PACKAGE_DESCRIPTION
  "Bytrove searches files, directory trees or standard input for a pattern of
bytes written as hex pairs, quoted strings and single-byte wildcards, and
prints the offset of every occurrence in hexadecimal and decimal. Switches
make string letters match regardless of case, descend into subdirectories
and include hidden files, FIFOs, sockets and devices.")
set(CPACK_STRIP_FILES ON)
# Staging and output stay inside the build tree, away from the sources.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # bytrove_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Bytrove developers <dev@bytrove.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The library dependencies (libc6) are read off the binary by dpkg-shlibdeps; the archive
# library and the decoders are linked in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)

include(CPack)
