# The operator page: its blocks are compiled into the program so the UI
# server needs no files at run time. Block 1 is the head and body markup
# with the first style sheet and the main script; block 2 the further style
# sheets, the protection dialog and its script. The sources stay separate
# .html, .css and .js files; a build step inlines the style sheets and
# scripts each block links.
set(TRC_PAGE_DIR ${CMAKE_SOURCE_DIR}/src/web/page)
set(TRC_PAGE_BLOCKS_DIR ${CMAKE_BINARY_DIR}/web_page_blocks)
file(GLOB TRC_PAGE_SOURCES CONFIGURE_DEPENDS
  ${TRC_PAGE_DIR}/*.html ${TRC_PAGE_DIR}/*.css ${TRC_PAGE_DIR}/*.js)
file(MAKE_DIRECTORY ${TRC_PAGE_BLOCKS_DIR})
add_custom_command(
  OUTPUT ${TRC_PAGE_BLOCKS_DIR}/index.html ${TRC_PAGE_BLOCKS_DIR}/protection.html
  COMMAND ${CMAKE_COMMAND} -DPAGE_DIR=${TRC_PAGE_DIR} -DOUT_DIR=${TRC_PAGE_BLOCKS_DIR}
          "-DBLOCKS=index.html;protection.html" -P ${CMAKE_SOURCE_DIR}/cmake/page_blocks.cmake
  DEPENDS ${TRC_PAGE_SOURCES} ${CMAKE_SOURCE_DIR}/cmake/page_blocks.cmake
  COMMENT "Composing the operator page blocks"
  VERBATIM)
trc_embed(trc_core web_page
  ${TRC_PAGE_BLOCKS_DIR}/index.html
  ${TRC_PAGE_BLOCKS_DIR}/protection.html)

# Browser scenarios (tests/page): headless Chromium driven by playwright-core
# against the built program and two simulators, inside the private network.
# scripts/test.sh installs the npm package; screenshots go to
# <build>/page-screenshots.
find_program(TRC_NODE node)
function(trc_page_tests_late)
  if(NOT TRC_NODE OR NOT TARGET show-server-sim OR NOT TRC_TESTS)
    return()
  endif()
  foreach(scenario standby_and_failover header_operations setup_dialog protection_dialog)
    add_test(NAME page_${scenario}
      COMMAND ${TRC_NODE} ${CMAKE_SOURCE_DIR}/tests/page/page_test.mjs ${scenario} ${CMAKE_BINARY_DIR})
    set_tests_properties(page_${scenario} PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 180)
  endforeach()
endfunction()
cmake_language(DEFER CALL trc_page_tests_late)
