# SPDX-License-Identifier: MIT
# GoogleTest: the installed package (Debian's libgtest-dev), or, for a cross
# build, its sources compiled along with the project.
if(VELMORA_GTEST_SOURCE_DIR)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(${VELMORA_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Under wine, the first start creates the wine prefix; test programs started
# side by side before it exists trip over each other, so it is made first.
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    add_test(NAME prepare_wine COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
    set_tests_properties(prepare_wine PROPERTIES FIXTURES_SETUP wine)
endif()

# velmora_add_gtest(NAME SOURCES... LIBRARIES...)
#
# Under an emulator (wine for the Windows build) each start costs seconds, so
# there the whole program runs as one test instead of one start per case.
function(velmora_add_gtest name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} GTest::gtest_main velmora_options)
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${name} COMMAND ${name})
        if(CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
            set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
        endif()
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
    endif()
endfunction()
