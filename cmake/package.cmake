# The Debian package. In the build folder, cpack -G DEB makes
# kvbench_<version>_<arch>.deb from the install rules, installed under /usr.
# Its dependencies are computed from the binaries by dpkg-shlibdeps; the
# stand-in libnox_api that kvbench needs is in the package itself, found
# through kvbench's relative RPATH, so it adds no dependency of its own.

set(KVBENCH_PACKAGE_MAINTAINER
    "kvbench maintainers <maintainers@users.noreply.c-seed-af3da41a.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME kvbench)
set(CPACK_PACKAGE_VENDOR "kvbench maintainers")
set(CPACK_PACKAGE_CONTACT "${KVBENCH_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KVBENCH_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kvbench-report is Python with matplotlib; kvbench itself runs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-matplotlib")
# The long description, in lines of at most 79 characters.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "kvbench runs a suite of tests against a key-value store on 1 to 100"
  "threads, each with its own client and connection, checks every value it"
  "reads back, and reports for each test and thread the step times and the"
  "bandwidth: a block on the console and a row in a semicolon-separated"
  "report file."
  ""
  "Protocols: local (an in-process hash map, which measures kvbench itself),"
  "nox (through libnox_api; a stand-in speaking RESP is part of the package,"
  "in a private folder), memcached (kvbench's own text-protocol client) and"
  "Redis (hiredis). Example suites are in /usr/share/kvbench/suites."
  ""
  "kvbench-report draws percentile spectra and throughput of a run's JSON"
  "report, and compares two runs with a significance test.")

include(CPack)
