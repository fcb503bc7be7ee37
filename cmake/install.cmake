# What `make install` puts where: the six programs, the shared libtarvo with
# its public headers and pkg-config file, the man pages, the shell
# completions, and the fixtures tarvosim starts its devices from. Paths
# follow GNUInstallDirs, so PREFIX and DESTDIR work as Debian expects; every
# installed file is listed in install_manifest.txt, which `make uninstall`
# reads.
include(GNUInstallDirs)

# The shared library is built from the same sources as the static one the
# tools link, with the internal libraries it needs folded in.
get_target_property(tarvo_sources tarvo SOURCES)
get_target_property(tarvo_source_dir tarvo SOURCE_DIR)
list(TRANSFORM tarvo_sources PREPEND ${tarvo_source_dir}/)
add_library(tarvo_shared SHARED ${tarvo_sources})
target_include_directories(tarvo_shared PUBLIC ${PROJECT_SOURCE_DIR}/include
                                        PRIVATE ${PROJECT_SOURCE_DIR}/libtarvo)
target_link_libraries(tarvo_shared PRIVATE internalcommon tarvo_pairing_crypto
  PkgConfig::USBMUXD PkgConfig::PLIST OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
set_target_properties(tarvo_shared PROPERTIES
  OUTPUT_NAME tarvo
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(internalcommon tarvo_pairing_crypto PROPERTIES POSITION_INDEPENDENT_CODE ON)
# Not part of `make` or `make check`: only `make install` builds it.
set_target_properties(tarvo_shared PROPERTIES EXCLUDE_FROM_ALL ON)

install(TARGETS tarvobackup2 tarvopair tarvoinfo tarvoname tarvodevices tarvosim tarvobrowse
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tarvo_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/tarvo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/libtarvo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

# The prefix is found from the .pc file's own place, so that the file is
# right whatever --prefix or DESTDIR the install was given.
file(RELATIVE_PATH TARVO_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
set(TARVO_PC_PREFIX "\${pcfiledir}/${TARVO_PC_TO_PREFIX}")
set(TARVO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
set(TARVO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(cmake/libtarvo.pc.in ${CMAKE_BINARY_DIR}/generated/libtarvo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/generated/libtarvo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Man pages carry the version of the build.
set(VERSION ${PROJECT_VERSION})
foreach(page tarvobackup2 tarvopair tarvoinfo tarvoname tarvodevices tarvosim tarvobrowse)
  configure_file(man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

foreach(tool tarvobackup2 tarvopair tarvoinfo tarvoname tarvodevices tarvobrowse)
  install(FILES completions/bash/${tool}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES completions/zsh/_${tool} DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
endforeach()

install(DIRECTORY fixtures/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvo/fixtures)

add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Removing the files install_manifest.txt lists")
