# Installation: the program, its menu entry and launcher, icons and AppStream data; and a .deb.
include(GNUInstallDirs)

install(TARGETS RostrelUploader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/data/desktop/rostrel-uploader-launch DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/desktop/rostrel-uploader.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/desktop/io.github.varnhold.RostrelUploader.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32 48)
    install(FILES ${PROJECT_SOURCE_DIR}/data/icons/rostrel-${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME rostrel-uploader.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/rostrel-uploader.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Where Debian looks for a package's licence, named after the package.
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/rostrel-uploader)

set(CPACK_PACKAGE_NAME "rostrel-uploader")
set(CPACK_PACKAGE_VENDOR "Varnhold")
set(CPACK_PACKAGE_CONTACT "Varnhold <uploader@varnhold.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_SECTION "games")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# A narrow face that fits the window's texts at their full size.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
include(CPack)
