# SPDX-License-Identifier: ISC
# Read by cpack before it makes the Debian packages. Their dependencies come
# from dpkg-shlibdeps, which needs file too; without them CPack would make
# the packages anyway, silently without their Depends. Better none at all.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(lanpick_shlibdeps dpkg-shlibdeps)
  find_program(lanpick_file file)
  if(NOT lanpick_shlibdeps OR NOT lanpick_file)
    message(FATAL_ERROR
      "the Debian packages need dpkg-shlibdeps and file to state their dependencies: "
      "apt-get install dpkg-dev file")
  endif()
endif()
