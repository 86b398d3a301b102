# What `cmake --install` puts in a prefix, and the package that
# find_package(Loquant) and pkg-config read from it:
#
#   bin/loquant                      the command (finds lib/ relative to bin/)
#   lib/libloquant.so.N              the library with the six entry points
#   lib/loquant/*.a                  the handle and the message record, for
#                                    people who write their own host
#   include/loquant/loquant.h        the entry points
#   include/loquant/host/...         the handle and the message record
#   lib/cmake/Loquant/               LoquantConfig*.cmake, the exported targets
#                                    loquant::loquant and loquant::host
#   lib/pkgconfig/loquant.pc
#   share/doc/loquant/               README and docs
#   share/man/man1/loquant.1, share/bash-completion/completions/loquant
include(CMakePackageConfigHelpers)

set(LOQUANT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Loquant)

# loquant::host: the static parts a host needs to make handles and messages,
# with the headers of the handle and the message record.
add_library(loquant_host_kit INTERFACE)
set_target_properties(loquant_host_kit PROPERTIES EXPORT_NAME host)
target_link_libraries(loquant_host_kit INTERFACE loquant_runtime_handle)
target_include_directories(loquant_host_kit INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/loquant/host>)
add_library(loquant::host ALIAS loquant_host_kit)
add_library(loquant::loquant ALIAS loquant)

# The handle's header and everything it includes, under the paths it
# includes them by.
set(LOQUANT_HOST_HEADERS
  runtime/zel_api.h runtime/data_message.h runtime/message_type.h runtime/trigger_spec.h
  util/clock.h util/mutex.h util/named_objects.h util/printf_check.h util/semaphore.h
  util/sync_registries.h)
set(LOQUANT_HOST_HEADERS ${LOQUANT_HOST_HEADERS} CACHE INTERNAL "installed host headers")
foreach(_header ${LOQUANT_HOST_HEADERS})
  get_filename_component(_dir ${_header} DIRECTORY)
  install(FILES src/${_header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/loquant/host/${_dir}
          COMPONENT development)
endforeach()
install(FILES include/loquant/loquant.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/loquant
        COMPONENT development)

install(TARGETS loquant EXPORT LoquantTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS loquant_host_kit loquant_options loquant_runtime_handle loquant_runtime_sections
                loquant_runtime_message loquant_util_sync loquant_util_base
  EXPORT LoquantTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/loquant COMPONENT development)
install(TARGETS loquant_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT LoquantTargets NAMESPACE loquant:: DESTINATION ${LOQUANT_CMAKE_DIR}
        COMPONENT development)

configure_package_config_file(cmake/install/LoquantConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/LoquantConfig.cmake INSTALL_DESTINATION ${LOQUANT_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LoquantConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LoquantConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/LoquantConfigVersion.cmake
        DESTINATION ${LOQUANT_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is found from the file's own place, so a staged or
# moved install stays right.
file(RELATIVE_PATH LOQUANT_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" LOQUANT_PC_TO_PREFIX "${LOQUANT_PC_TO_PREFIX}")
configure_file(cmake/install/loquant.pc.in ${CMAKE_CURRENT_BINARY_DIR}/loquant.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/loquant.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(FILES README.md SECURITY.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/loquant)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/loquant/docs)
install(FILES examples/conversation.wav examples/conversation.toml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/loquant/examples)

# The command's bash completion, and its man page made from its help by
# help2man (built with the command; left out, with a message, where help2man
# is missing).
install(FILES cli/loquant.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        RENAME loquant)
find_program(LOQUANT_HELP2MAN help2man)
if(LOQUANT_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(_man ${CMAKE_CURRENT_BINARY_DIR}/loquant.1)
  add_custom_command(OUTPUT ${_man}.gz
    COMMAND ${LOQUANT_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
            --name "speech and turn-taking analysis of recordings"
            --include ${PROJECT_SOURCE_DIR}/cli/loquant.h2m --output ${_man} $<TARGET_FILE:loquant_cli>
    COMMAND gzip -9nf ${_man}
    DEPENDS loquant_cli ${PROJECT_SOURCE_DIR}/cli/loquant.h2m
    COMMENT "Man page of loquant from its help" VERBATIM)
  add_custom_target(loquant_manpage ALL DEPENDS ${_man}.gz)
  install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(CMAKE_CROSSCOMPILING)
  message(STATUS "cross build: the man page of loquant is made by the native build only")
  add_custom_target(loquant_manpage)
else()
  message(STATUS "help2man not found: the man page of loquant is not made")
  add_custom_target(loquant_manpage)
endif()

# cpack -G DEB: one package with the command, the library, the headers, the
# CMake and pkg-config files; the library dependencies come from dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME loquant)
set(CPACK_PACKAGE_VENDOR "The Loquant developers")
set(CPACK_PACKAGE_CONTACT "Loquant developers <loquant@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "speech and turn-taking analysis library and command")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
