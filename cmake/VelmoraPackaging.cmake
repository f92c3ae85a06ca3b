# SPDX-License-Identifier: MIT
# The packages users install, made by CPack (`cpack` in the build folder;
# ./build.sh windows and ./build.sh deb run it):
#
#   Windows: Velmora-1.00-win64.exe, an NSIS installer that puts Velmora.exe
#            in Program Files\Velmora with a Start-menu shortcut and an
#            uninstaller listed in Apps & features; and Velmora-1.00-win64.zip,
#            the same Velmora.exe to unpack anywhere. Both carry its licence,
#            Qt's licences, the third-party notices and how to relink.
#   Debian:  velmora_1.00_amd64.deb with the program, its desktop entry and
#            icon; dependencies found by dpkg-shlibdeps.
#
# Both carry the project's version (project() in CMakeLists.txt).
if(NOT VELMORA_BUILD_WINDOW)
    return() # no program, nothing to package
endif()

set(CPACK_PACKAGE_NAME "Velmora")
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Hex text to bytes converter")
set(CPACK_PACKAGE_DESCRIPTION [[
Velmora turns a text file of hexadecimal digit pairs into the bytes they
encode: a file holding 48656C6C6F becomes a file holding the five bytes
Hello. It has one window: an input path, an output path and a FILE CONVERT
button.]])
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Velmora")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/packages")

if(WIN32)
    set(CPACK_GENERATOR "NSIS;ZIP")
    set(CPACK_SYSTEM_NAME "win64") # x86_64 only: Qt 6 has no 32-bit Windows build
    # Start-menu shortcut "Velmora" to Velmora.exe, which sits directly in the
    # installation folder.
    set(CPACK_PACKAGE_EXECUTABLES "Velmora;Velmora")
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
    # 64-bit program: Program Files, not Program Files (x86).
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_PACKAGE_NAME "Velmora")
    set(CPACK_NSIS_DISPLAY_NAME "Velmora")
    # What Apps & features shows for it.
    set(CPACK_NSIS_INSTALLED_ICON_NAME "Velmora.exe")
    set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/window/velmora.ico")
    set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/window/velmora.ico")
    # An older version is removed first instead of being installed over.
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
    set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
    set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
    # A 64-bit installer for a 64-bit program: on 32-bit Windows it says at
    # once that it cannot run, and it writes the 64-bit registry view (the
    # uninstall entry) directly. No file's time goes into the installer (the
    # files CPack writes for it carry the time of packing), so that two
    # packings of one commit give the same bytes.
    set(CPACK_NSIS_DEFINES "Target amd64-unicode\nSetDateSave off")

    # Beside Velmora.exe, in the install folder and the zip: its licence,
    # the licences of the Qt it links in statically, the notices of every
    # third-party library in it, and how to relink it with another Qt (what
    # the LGPL asks of a static build).
    find_package(Qt6 REQUIRED COMPONENTS Core) # where it is, for this folder's scope
    set(qt_notices "${QT6_INSTALL_PREFIX}/share/velmora")
    install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION . RENAME LICENSE.txt)
    if(EXISTS "${qt_notices}/source-version")
        file(READ "${qt_notices}/source-version" VELMORA_QT_SOURCE_VERSION)
        string(STRIP "${VELMORA_QT_SOURCE_VERSION}" VELMORA_QT_SOURCE_VERSION)
        set(VELMORA_QT_VERSION "${Qt6_VERSION}")
        set(generated "${CMAKE_BINARY_DIR}/packaging")
        configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/RELINKING.txt.in"
                       "${generated}/RELINKING.txt" @ONLY)
        set(notices "${generated}/THIRD-PARTY-NOTICES.txt")
        find_package(Python3 REQUIRED COMPONENTS Interpreter)
        add_custom_command(OUTPUT "${notices}"
            COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/tools/windows-notices"
                    "$<TARGET_FILE_DIR:velmora>/Velmora.map" "${QT6_INSTALL_PREFIX}" "${notices}"
            DEPENDS velmora "${PROJECT_SOURCE_DIR}/tools/windows-notices"
            COMMENT "Listing the third-party software in Velmora.exe"
            VERBATIM)
        add_custom_target(velmora_notices ALL DEPENDS "${notices}")
        install(FILES "${qt_notices}/licenses/LGPL-3.0-only.txt" DESTINATION . RENAME LGPL-3.0.txt)
        install(FILES "${qt_notices}/licenses/GPL-3.0-only.txt" DESTINATION . RENAME GPL-3.0.txt)
        install(FILES "${notices}" "${generated}/RELINKING.txt" DESTINATION .)
    else()
        # A Qt not built by tools/build-qt-mingw.sh: what its notices are
        # made from is not known here, so packages made with it lack them.
        message(WARNING "${QT6_INSTALL_PREFIX} has no share/velmora: the Windows packages "
                        "will lack Qt's licences and third-party notices")
    endif()
elseif(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR "DEB")
    set(CPACK_DEBIAN_PACKAGE_NAME "velmora")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # velmora_1.00_amd64.deb
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmora developers <velmora@velmora.invalid>")
    set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
    set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Beside the libraries found by dpkg-shlibdeps: Qt's platform plugins
    # (xcb, wayland), which libqt6gui6 only recommends; without them the
    # window cannot open.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
    # Debian's policy: a copyright file and a compressed changelog in the
    # package's documentation folder.
    include(GNUInstallDirs)
    set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_PACKAGE_NAME}")
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/copyright" DESTINATION "${doc_dir}")
    set(changelog "${CMAKE_BINARY_DIR}/changelog.gz")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in"
                   "${CMAKE_BINARY_DIR}/changelog" @ONLY)
    execute_process(COMMAND gzip -n -9 -c "${CMAKE_BINARY_DIR}/changelog"
                    OUTPUT_FILE "${changelog}" COMMAND_ERROR_IS_FATAL ANY)
    install(FILES "${changelog}" DESTINATION "${doc_dir}")
endif()

include(CPack)
