# Desktop presence: the tray icon with its menu and the desktop
# notifications, built when libayatana-appindicator3 (GTK 3) and libnotify
# are found; without them the program builds and runs without either.

option(TRC_DESKTOP "Tray icon and desktop notifications when their libraries are found" ON)
if(TRC_DESKTOP)
  pkg_check_modules(TRC_DESKTOP_LIBS IMPORTED_TARGET ayatana-appindicator3-0.1 libnotify)
endif()

# One variant of the desktop sources goes into trc_core: the Linux front end
# or the build without one.
get_target_property(trc_desktop_sources trc_core SOURCES)
list(FILTER trc_desktop_sources EXCLUDE REGEX ".*/src/platform/(linux/.*|no_desktop\\.cc)$")
set_property(TARGET trc_core PROPERTY SOURCES ${trc_desktop_sources})
if(TRC_DESKTOP_LIBS_FOUND)
  file(GLOB trc_desktop_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/linux/*.cc)
  target_sources(trc_core PRIVATE ${trc_desktop_sources})
  target_link_libraries(trc_core PRIVATE PkgConfig::TRC_DESKTOP_LIBS)
  message(STATUS "Desktop tray and notifications: on")
else()
  target_sources(trc_core PRIVATE ${CMAKE_SOURCE_DIR}/src/platform/no_desktop.cc)
  message(STATUS "Desktop tray and notifications: off")
endif()

# The program's icon, for the tray and the notifications.
include(GNUInstallDirs)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/tolvarine-redundancy-control.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The tray scenario: the built agent under Xvfb on a private session bus,
# read through D-Bus as a tray host reads it. Like the test programs it sits
# at the top of the build tree, named after its layer, and building its name
# builds what it runs.
function(trc_desktop_tests_late)
  if(TRC_TESTS AND TRC_DESKTOP_LIBS_FOUND)
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/tests/e2e/tray_menu.py ${CMAKE_BINARY_DIR}/e2e_tray_menu SYMBOLIC)
    add_custom_target(e2e_tray_menu)
    add_dependencies(e2e_tray_menu tolvarine-redundancy-control show-server-sim)
    add_test(NAME TrayMenuOverDBus COMMAND ${CMAKE_BINARY_DIR}/e2e_tray_menu ${CMAKE_BINARY_DIR})
    set_tests_properties(TrayMenuOverDBus PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 120)
  endif()
endfunction()
cmake_language(DEFER CALL trc_desktop_tests_late)
