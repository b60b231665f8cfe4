# The expected Core digest, fixed at build time: DROVANE_CORE_SHA256 (64 lower-case hex
# characters), or DROVANE_CORE_FILE (hashed here), or by default the project's sample Core,
# hashed once it has been built. drovane_core_digest_library(<name>) makes the static library
# that defines expected_core_digest() (src/core_digest.hpp) for the Helper and the client.
set(DROVANE_CORE_SHA256 "" CACHE STRING
    "SHA-256 (64 lower-case hex characters) of the Core executable the Helper accepts")
set(DROVANE_CORE_FILE "" CACHE FILEPATH "Core executable whose SHA-256 the Helper accepts")
if(DROVANE_CORE_SHA256 AND DROVANE_CORE_FILE)
  message(FATAL_ERROR "Set DROVANE_CORE_SHA256 or DROVANE_CORE_FILE, not both")
endif()
if(DROVANE_CORE_SHA256 AND NOT DROVANE_CORE_SHA256 MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "DROVANE_CORE_SHA256 must be 64 lower-case hexadecimal characters, "
                      "got \"${DROVANE_CORE_SHA256}\"")
endif()
if(DROVANE_CORE_SHA256)
  string(LENGTH "${DROVANE_CORE_SHA256}" _core_digest_length)
  if(NOT _core_digest_length EQUAL 64)
    message(FATAL_ERROR "DROVANE_CORE_SHA256 must be 64 lower-case hexadecimal characters, "
                        "got ${_core_digest_length}")
  endif()
endif()

set(_drovane_core_digest_dir "${CMAKE_CURRENT_LIST_DIR}")

function(drovane_core_digest_library name)
  set(_template "${_drovane_core_digest_dir}/core_digest.cpp.in")
  set(_tu "${CMAKE_CURRENT_BINARY_DIR}/core_digest.cpp")
  if(DROVANE_CORE_SHA256)
    set(DROVANE_CORE_DIGEST "${DROVANE_CORE_SHA256}")
    set(DROVANE_CORE_DIGEST_ORIGIN "DROVANE_CORE_SHA256")
    set(DROVANE_CORE_DIGEST_IS_SAMPLE false)
    configure_file("${_template}" "${_tu}" @ONLY)
    message(STATUS "Helper embeds the Core digest given by DROVANE_CORE_SHA256: "
                   "${DROVANE_CORE_DIGEST}")
  elseif(DROVANE_CORE_FILE)
    if(NOT EXISTS "${DROVANE_CORE_FILE}" OR IS_DIRECTORY "${DROVANE_CORE_FILE}")
      message(FATAL_ERROR "DROVANE_CORE_FILE names no file: ${DROVANE_CORE_FILE}")
    endif()
    file(SHA256 "${DROVANE_CORE_FILE}" DROVANE_CORE_DIGEST)
    set(DROVANE_CORE_DIGEST_ORIGIN "the Core file ${DROVANE_CORE_FILE}")
    set(DROVANE_CORE_DIGEST_IS_SAMPLE false)
    configure_file("${_template}" "${_tu}" @ONLY)
    # A changed Core file configures again and embeds its new digest.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${DROVANE_CORE_FILE}")
    message(STATUS "Helper embeds the digest of ${DROVANE_CORE_FILE}: ${DROVANE_CORE_DIGEST}")
  else()
    set(DROVANE_SAMPLE_CORE_IN_BIN ON)
    add_subdirectory("${PROJECT_SOURCE_DIR}/tests/sample_core" "${CMAKE_BINARY_DIR}/sample_core")
    add_custom_command(
      OUTPUT "${_tu}"
      COMMAND "${CMAKE_COMMAND}" "-DCORE_FILE=$<TARGET_FILE:drovane_sample_core>"
              "-DTEMPLATE=${_template}" "-DOUTPUT=${_tu}"
              -P "${_drovane_core_digest_dir}/core_digest_write.cmake"
      DEPENDS drovane_sample_core "${_template}" "${_drovane_core_digest_dir}/core_digest_write.cmake"
      COMMENT "Embedding the SHA-256 of the sample Core"
      VERBATIM)
    message(STATUS "Helper embeds the digest of the sample Core (tests/sample_core), "
                   "computed when the sample Core is built")
  endif()
  add_library(${name} STATIC "${_tu}")
  target_link_libraries(${name} PUBLIC drovane_support)
endfunction()
