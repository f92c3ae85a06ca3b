# SPDX-License-Identifier: MIT
# Compiler settings shared by every target of ours (but not by third-party
# code such as a GoogleTest built from source).
add_library(velmora_options INTERFACE)

if(MSVC)
    target_compile_options(velmora_options INTERFACE /W4 /utf-8)
    if(VELMORA_WERROR)
        target_compile_options(velmora_options INTERFACE /WX)
    endif()
else()
    target_compile_options(velmora_options INTERFACE -Wall -Wextra -Wpedantic)
    if(VELMORA_WERROR)
        target_compile_options(velmora_options INTERFACE -Werror)
    endif()
    # Two builds of one commit give the same bytes wherever they are made:
    # no folder of the build machine in any file name the compiler records.
    target_compile_options(velmora_options INTERFACE
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
        -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
endif()

if(MINGW)
    # A PE file records its link time unless told not to.
    target_link_options(velmora_options INTERFACE -Wl,--no-insert-timestamp)
elseif(UNIX AND NOT VELMORA_SANITIZE AND NOT VELMORA_FUZZ)
    # The hardening Debian builds its own packages with: checked string and
    # memory calls, a stack protector, and relocations read-only from the start.
    target_compile_options(velmora_options INTERFACE
        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2> -fstack-protector-strong)
    target_link_options(velmora_options INTERFACE -Wl,-z,relro -Wl,-z,now)
endif()

if(VELMORA_SANITIZE OR VELMORA_FUZZ)
    # Sanitizers apply to everything that is compiled, so that a report is never
    # lost in a library that was built without them; under the fuzzer, any
    # memory error or undefined behaviour it reaches is a finding.
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VELMORA_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link) # coverage for libFuzzer
endif()
