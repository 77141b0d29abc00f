# Read by cpack as it runs, after the build: the packages carry the version the
# programs report, which names the commit they were built from.
file(STRINGS "${CPACK_CORVEX_VERSION_FILE}" CPACK_PACKAGE_VERSION LIMIT_COUNT 1)
set(CPACK_DEBIAN_PACKAGE_VERSION "${CPACK_PACKAGE_VERSION}")
# Each package's summary is the first line of its component's description,
# not the project's one summary put in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_DEFAULT_PACKAGE_DESCRIPTION_SUMMARY}")
