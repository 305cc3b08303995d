# The operator page: its blocks are compiled into the program so the UI
# server needs no files at run time. Block 1 is the head and body markup
# with the first style sheet and the main script; block 2 the further style
# sheets, the protection dialog and its script.
trc_embed(trc_core web_page
  ${CMAKE_SOURCE_DIR}/src/web/page/index.html
  ${CMAKE_SOURCE_DIR}/src/web/page/protection.html)
