# Stream Deck support: the built-in splash images compiled into the
# program, the udev rules that give the logged-in user access to the decks,
# and the links the deck tests and tools need.

pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)

# The splash images are drawn by tools/streamdeck-splash and committed, so
# the build needs neither the generator's output nor a network.
file(GLOB TRC_STREAMDECK_SPLASH CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/src/streamdeck/splash/*.jpg
  ${CMAKE_SOURCE_DIR}/src/streamdeck/splash/*.bmp)
# Embedded like trc_embed does, but VERBATIM so the list of many files
# reaches the script as one argument.
set(TRC_STREAMDECK_EMBED_DIR ${CMAKE_BINARY_DIR}/embedded/streamdeck_splash)
add_custom_command(
  OUTPUT ${TRC_STREAMDECK_EMBED_DIR}/streamdeck_splash_embedded.h
         ${TRC_STREAMDECK_EMBED_DIR}/streamdeck_splash_embedded.cc
  COMMAND ${CMAKE_COMMAND} -DNAMESPACE=streamdeck_splash
          -DHEADER=${TRC_STREAMDECK_EMBED_DIR}/streamdeck_splash_embedded.h
          -DSOURCE=${TRC_STREAMDECK_EMBED_DIR}/streamdeck_splash_embedded.cc
          "-DFILES=${TRC_STREAMDECK_SPLASH}" -P ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
  DEPENDS ${TRC_STREAMDECK_SPLASH} ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
  COMMENT "Embedding the Stream Deck splash images"
  VERBATIM)
target_sources(trc_core PRIVATE ${TRC_STREAMDECK_EMBED_DIR}/streamdeck_splash_embedded.cc)
target_include_directories(trc_core PUBLIC ${CMAKE_BINARY_DIR}/embedded)

# udev reads rules from /etc/udev/rules.d (and /usr/lib/udev/rules.d), never
# from under /usr/local, so the rule goes there whatever the prefix.
# A package (prefix /usr) ships it in the distribution's folder; /etc is the
# administrator's.
# The folder follows the prefix of each configure run unless it is set.
set(TRC_UDEV_RULES_DIR "" CACHE PATH
  "Where the Stream Deck udev rule is installed (empty: from the install prefix)")
if(TRC_UDEV_RULES_DIR)
  set(trc_udev_rules_dir ${TRC_UDEV_RULES_DIR})
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(trc_udev_rules_dir /usr/lib/udev/rules.d)
else()
  set(trc_udev_rules_dir /etc/udev/rules.d)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/udev/70-tolvarine-streamdeck.rules
  DESTINATION ${trc_udev_rules_dir})

# The tests and tools are defined after this file is read;
# finish their wiring once the whole tree is known.
function(trc_streamdeck_link_late)
  if(TARGET streamdeck-splash AND TRC_TESTS)
    # The committed images are exactly what the generator draws.
    add_test(NAME streamdeck_splash_images_reproducible
      COMMAND ${CMAKE_COMMAND}
        -DGENERATOR=$<TARGET_FILE:streamdeck-splash>
        -DEXPECTED=${CMAKE_SOURCE_DIR}/src/streamdeck/splash
        -DWORK=${CMAKE_BINARY_DIR}/streamdeck-splash-check
        -P ${CMAKE_SOURCE_DIR}/tools/streamdeck-splash/compare.cmake)
    set_tests_properties(streamdeck_splash_images_reproducible PROPERTIES LABELS unit)
  endif()
endfunction()
cmake_language(DEFER CALL trc_streamdeck_link_late)
