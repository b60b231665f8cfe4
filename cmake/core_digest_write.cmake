# Writes the expected Core digest TU for the Core file CORE_FILE, from TEMPLATE to OUTPUT.
# Run at build time once the sample Core is linked; the output changes only with the digest.
file(SHA256 "${CORE_FILE}" DROVANE_CORE_DIGEST)
set(DROVANE_CORE_DIGEST_ORIGIN "the sample Core ${CORE_FILE}")
set(DROVANE_CORE_DIGEST_IS_SAMPLE true)
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
