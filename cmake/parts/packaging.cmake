# Desktop integration and the Debian package: the launcher, the manual page,
# the package's documents and CPack's DEB generator over the install rules.
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build/release --target package

set(TRC_PACKAGE_NAME tolvarine-redundancy-control)
set(TRC_DESKTOP_ID com.brellinlabs.tolvarine-redundancy-control)
set(TRC_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(FILES ${TRC_PACKAGING_DIR}/linux/${TRC_DESKTOP_ID}.desktop
  DESTINATION share/applications)

# Manual pages and the package changelog ship compressed, reproducibly (-n).
find_program(TRC_GZIP gzip REQUIRED)
set(TRC_MAN_GZ ${CMAKE_BINARY_DIR}/packaging/${TRC_PACKAGE_NAME}.1.gz)
set(TRC_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${TRC_MAN_GZ} ${TRC_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${TRC_GZIP} -9nc ${TRC_PACKAGING_DIR}/linux/${TRC_PACKAGE_NAME}.1 > ${TRC_MAN_GZ}
  COMMAND ${TRC_GZIP} -9nc ${TRC_PACKAGING_DIR}/debian/changelog > ${TRC_CHANGELOG_GZ}
  DEPENDS ${TRC_PACKAGING_DIR}/linux/${TRC_PACKAGE_NAME}.1 ${TRC_PACKAGING_DIR}/debian/changelog
  COMMENT "Compressing the manual page and changelog")
add_custom_target(trc_packaging_docs ALL DEPENDS ${TRC_MAN_GZ} ${TRC_CHANGELOG_GZ})
install(FILES ${TRC_MAN_GZ} DESTINATION share/man/man1)
install(FILES ${TRC_PACKAGING_DIR}/debian/copyright ${TRC_CHANGELOG_GZ}
  DESTINATION share/doc/${TRC_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TRC_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brellin Labs")
set(CPACK_PACKAGE_CONTACT "Brellin Labs <support@brellinlabs.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "redundancy control for Tolvarine show-playback servers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "An agent for a show operator's workstation. It finds the Tolvarine
show-playback servers on the local network, pairs a Main with a Backup,
routes operator commands to both, polls their health four times a second
and moves operation to the Backup when the Main fails, firing control
strings at external devices. It mirrors the servers' key pages onto
Elgato Stream Decks and serves a loopback admin API and an operator
web page.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${TRC_PACKAGING_DIR}/debian/postinst ${TRC_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
include(CPack)

# The package check runs in the plain (unsanitised) tree with the end-to-end
# tests; tests are declared after this file is read.
function(trc_packaging_test_late)
  if(TRC_TESTS AND NOT TRC_SANITIZE AND NOT TRC_FUZZ)
    add_test(NAME packaging_deb
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/package_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(packaging_deb PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 600)
  endif()
endfunction()
cmake_language(DEFER CALL trc_packaging_test_late)
