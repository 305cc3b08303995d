# trc_embed(<target> <namespace> <file>...) turns files into C++ byte arrays
# compiled into <target>. Each file F becomes `extern const unsigned char
# <stem>[]` and `<stem>_size`, where <stem> is F's name with non-identifier
# characters replaced by '_'. The generated header is <namespace>_embedded.h.
function(trc_embed target namespace)
  set(out_dir ${CMAKE_BINARY_DIR}/embedded/${namespace})
  set(header ${out_dir}/${namespace}_embedded.h)
  set(source ${out_dir}/${namespace}_embedded.cc)
  add_custom_command(
    OUTPUT ${header} ${source}
    COMMAND ${CMAKE_COMMAND} -DNAMESPACE=${namespace} -DHEADER=${header} -DSOURCE=${source}
            "-DFILES=${ARGN}" -P ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
    DEPENDS ${ARGN} ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
    COMMENT "Embedding ${namespace} resources"
    VERBATIM)
  target_sources(${target} PRIVATE ${source})
  target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/embedded)
endfunction()
