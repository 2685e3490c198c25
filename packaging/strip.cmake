# Run by CPack on the staged files before it builds the package: the program
# is stripped as Debian strips executables, and its debugging information is
# kept beside the package, tied to the stripped program by a debug link.
set(program
    "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_QK_PROGRAM}")
get_filename_component(name "${program}" NAME)
set(debug "${CPACK_PACKAGE_DIRECTORY}/${name}.debug")

function(qk_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Stripping the program failed: ${ARGN}")
  endif()
endfunction()

qk_run("${CPACK_QK_OBJCOPY}" --only-keep-debug --compress-debug-sections
       "${program}" "${debug}")
qk_run("${CPACK_QK_STRIP}" --remove-section=.comment --remove-section=.note
       "${program}")
# The link records the file's name and checksum; gdb looks for that name
# beside the program and under /usr/lib/debug/usr/bin/.
qk_run("${CPACK_QK_OBJCOPY}" "--add-gnu-debuglink=${debug}" "${program}")
