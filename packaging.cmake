# Installed like a desktop program: the executable, its .desktop entry and its icon where
# desktop environments look for them. `cpack -G DEB` makes the Debian package talix-toolkits
# with its library dependencies found by dpkg-shlibdeps; the box simulator goes only into the
# optional package talix-toolkits-lab.
include(GNUInstallDirs)

install(TARGETS talix-toolkits RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
install(FILES resources/talix-toolkits.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
foreach(size 16 32 48 64)
    install(FILES resources/talix-toolkits-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME talix-toolkits.png COMPONENT app)
endforeach()
install(TARGETS talix-boxsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lab
        EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME talix-toolkits)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Talix")
set(CPACK_PACKAGE_CONTACT "Talix Tool_Kits developers <toolkits@talix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_COMPONENTS_ALL app lab)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_APP_PACKAGE_NAME talix-toolkits)
set(CPACK_DEBIAN_LAB_PACKAGE_NAME talix-toolkits-lab)
# The simulated boxes of the lab each run their own broker.
set(CPACK_DEBIAN_LAB_PACKAGE_DEPENDS "mosquitto")
set(CPACK_COMPONENT_LAB_DESCRIPTION "Simulated Talix box for trying the tool without hardware")
include(CPack)
