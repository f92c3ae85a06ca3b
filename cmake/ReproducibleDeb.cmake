# SPDX-License-Identifier: MIT
# Run by CPack once it has made the Debian package (CPACK_POST_BUILD_SCRIPTS).
# CPack stamps the package's outer archive with the time of packing, so two
# packings of one commit would differ; dpkg-deb, given the same content,
# stamps everything with SOURCE_DATE_EPOCH (the last commit's time, which
# ./build.sh sets) and lists the files in a fixed order.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "\\.deb$")
        continue()
    endif()
    set(tree "${package}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}"
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${package}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
endforeach()
