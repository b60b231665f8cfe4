# drovane_sample_core_beside(<target>): copies the sample Core, as DrovaneCore.exe, into the
# current binary directory, beside <target>, before <target> is built.
function(drovane_sample_core_beside target)
  set(_copy "${CMAKE_CURRENT_BINARY_DIR}/DrovaneCore.exe")
  add_custom_command(
    OUTPUT "${_copy}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:drovane_sample_core>" "${_copy}"
    DEPENDS drovane_sample_core
    VERBATIM)
  add_custom_target(${target}_sample_core ALL DEPENDS "${_copy}")
  add_dependencies(${target} ${target}_sample_core)
endfunction()
