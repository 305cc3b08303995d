# Script mode: writes the operator page's blocks into OUT_DIR. Each .html file
# of PAGE_DIR named in BLOCKS gets the style sheets and scripts it links
# inlined, so the served page is one self-contained document while the
# sources stay separate files.
foreach(block ${BLOCKS})
  file(READ ${PAGE_DIR}/${block} text)
  string(REGEX MATCHALL "<link rel=\"stylesheet\" href=\"[A-Za-z0-9_.-]+\">|<script src=\"[A-Za-z0-9_.-]+\"></script>"
         tags "${text}")
  foreach(tag ${tags})
    string(REGEX REPLACE ".*(href|src)=\"([^\"]+)\".*" "\\2" name "${tag}")
    file(READ ${PAGE_DIR}/${name} content)
    if(tag MATCHES "^<link")
      set(inline "<style>\n${content}</style>")
    else()
      set(inline "<script>\n${content}</script>")
    endif()
    string(REPLACE "${tag}" "${inline}" text "${text}")
  endforeach()
  file(WRITE ${OUT_DIR}/${block}.tmp "${text}")
  file(RENAME ${OUT_DIR}/${block}.tmp ${OUT_DIR}/${block})
endforeach()
