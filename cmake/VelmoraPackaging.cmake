# SPDX-License-Identifier: MIT
# The packages users install, made by CPack (`cpack` in the build folder;
# ./build.sh windows and ./build.sh deb run it):
#
#   Windows: Velmora-1.00-win64.exe, an NSIS installer that puts Velmora.exe
#            in Program Files\Velmora with a Start-menu shortcut and an
#            uninstaller listed in Apps & features; and Velmora-1.00-win64.zip,
#            the same Velmora.exe to unpack anywhere. Both carry its licence,
#            Qt's licences, the third-party notices and how to relink.
#   Debian:  velmora_1.00-1+deb12_amd64.deb (for the release it is built on)
#            with the program, its desktop entry, icon, AppStream metadata and
#            manual page; dependencies found by dpkg-shlibdeps.
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
    # One package per Debian (or derivative) release, built on that release:
    # its dependencies are the library packages of that release, and its
    # version says which one it is for (1.00-1+deb12, 1.00-1+deb13, ...), so
    # that a newer release's package is an upgrade of an older one's.
    file(STRINGS /etc/os-release os_release REGEX "^(ID|VERSION_ID|VERSION_CODENAME|PRETTY_NAME)=")
    foreach(field IN ITEMS ID VERSION_ID VERSION_CODENAME PRETTY_NAME)
        set(os_${field} "")
        foreach(line IN LISTS os_release)
            if(line MATCHES "^${field}=\"?([^\"]*)\"?$")
                set(os_${field} "${CMAKE_MATCH_1}")
            endif()
        endforeach()
    endforeach()
    if(os_ID STREQUAL "debian")
        set(os_ID "deb")
    endif()
    set(CPACK_DEBIAN_PACKAGE_RELEASE "1+${os_ID}${os_VERSION_ID}")
    set(VELMORA_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
    set(VELMORA_DEB_DISTRIBUTION "${os_VERSION_CODENAME}")
    set(VELMORA_DEB_RELEASE_NAME "${os_PRETTY_NAME}")

    set(CPACK_GENERATOR "DEB")
    set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/ReproducibleDeb.cmake")
    set(CPACK_DEBIAN_PACKAGE_NAME "velmora")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # velmora_1.00-1+deb12_amd64.deb
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmora developers <velmora@velmora.invalid>")
    set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
    set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Beside the libraries found by dpkg-shlibdeps: Qt's platform plugins
    # (xcb, wayland), which libqt6gui6 only recommends; without them the
    # window cannot open.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")

    include(GNUInstallDirs)
    set(linux_dir "${PROJECT_SOURCE_DIR}/packaging/linux")
    set(generated "${CMAKE_BINARY_DIR}/packaging")
    # Dates from the last commit (SOURCE_DATE_EPOCH, which ./build.sh sets),
    # so that a rebuild of the same commit gives the same package.
    string(TIMESTAMP VELMORA_RELEASE_DATE "%Y-%m-%d" UTC)
    string(TIMESTAMP VELMORA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

    # Desktop integration, all under one reverse-DNS name: the menu entry,
    # the icon, and what software centres show (AppStream).
    install(FILES "${linux_dir}/org.velmora.velmora.desktop"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
    install(FILES "${PROJECT_SOURCE_DIR}/window/velmora.svg"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
            RENAME org.velmora.velmora.svg)
    configure_file("${linux_dir}/org.velmora.velmora.metainfo.xml.in"
                   "${generated}/org.velmora.velmora.metainfo.xml" @ONLY)
    install(FILES "${generated}/org.velmora.velmora.metainfo.xml"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")

    # The manual page, and Debian's copyright file and changelog; the
    # compressed ones without a time stamp (gzip -n).
    set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_PACKAGE_NAME}")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in"
                   "${generated}/copyright" @ONLY)
    install(FILES "${generated}/copyright" DESTINATION "${doc_dir}")
    foreach(page IN ITEMS "${linux_dir}/velmora.1.in" "${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in")
        get_filename_component(name "${page}" NAME_WLE)
        configure_file("${page}" "${generated}/${name}" @ONLY)
        execute_process(COMMAND gzip -n -9 -c "${generated}/${name}"
                        OUTPUT_FILE "${generated}/${name}.gz" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    install(FILES "${generated}/velmora.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    install(FILES "${generated}/changelog.gz" DESTINATION "${doc_dir}"
            RENAME changelog.Debian.gz)

    # Stripped as Debian strips its own programs: no compiler notes either.
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                    --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velmora\"
                COMMAND_ERROR_IS_FATAL ANY)
        endif()")
endif()

include(CPack)
