# `cmake --install` puts the libraries, the engine, the headers, the two
# programs and a package configuration in place, so another project's
# find_package(btrkit) works; the GUI library is a component of its own, so
# that only a project that asks for it (COMPONENTS gui) needs Qt.
include(CMakePackageConfigHelpers)

install(TARGETS btrkit EXPORT btrkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/btrkit)
install(FILES btrkit.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/btrkit)
install(EXPORT btrkitTargets NAMESPACE btrkit::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/btrkit)
if(TARGET btrkit_gui)
  install(TARGETS btrkit_gui EXPORT btrkitGuiTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/btrkit)
  install(FILES btrkit_gui.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/btrkit)
  install(EXPORT btrkitGuiTargets NAMESPACE btrkit::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/btrkit)
endif()
if(TARGET wbtrv32)
  install(TARGETS wbtrv32 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
# The programs find the libraries and the engine through their run path
# ($ORIGIN/../lib).
foreach(program btrtool btrstudio)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

configure_package_config_file(cmake/btrkitConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/btrkitConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/btrkit)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/btrkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/btrkitConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/btrkitConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/btrkit)
