# Installs the library for other projects: the public headers under
# include/zentrafold/, the static libraries, the CMake package
# (find_package(zentrafold CONFIG) -> zentrafold::decoder) and zentrafold.pc.
include(CMakePackageConfigHelpers)

set(ZENTRAFOLD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zentrafold)

install(FILES
    ${PROJECT_SOURCE_DIR}/decoder/include/zentrafold/decoder.h
    ${PROJECT_SOURCE_DIR}/decoder/include/zentrafold/zentrafold.h
    ${PROJECT_SOURCE_DIR}/platform/include/zentrafold/win32.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentrafold)

# On Windows the platform target holds no code, only the system libraries it
# links; elsewhere it is the stand-in's static library the decoder needs.
install(TARGETS zentrafold_decoder zentrafold_platform
  EXPORT zentrafoldTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT zentrafoldTargets
  NAMESPACE zentrafold::
  FILE zentrafoldTargets.cmake
  DESTINATION ${ZENTRAFOLD_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zentrafoldConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zentrafoldConfig.cmake
  INSTALL_DESTINATION ${ZENTRAFOLD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zentrafoldConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/zentrafoldConfig.cmake
    ${PROJECT_BINARY_DIR}/zentrafoldConfigVersion.cmake
  DESTINATION ${ZENTRAFOLD_CMAKE_DIR})

# pkg-config: static libraries, so the platform part is listed in Libs itself,
# and the maths library the cosine table is built with (C programs link it
# with the C compiler).
if(WIN32)
  set(ZENTRAFOLD_PC_LIBS "-lzentrafold -lgdi32 -lpthread -lm")
else()
  set(ZENTRAFOLD_PC_LIBS "-lzentrafold -lzentrafold_platform -lpthread -lm")
endif()
# The prefix is found from the .pc file's own place, so an installed tree can
# be moved (or installed with cmake --install --prefix) and still be found.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZENTRAFOLD_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ZENTRAFOLD_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  set(ZENTRAFOLD_PC_PREFIX "\${pcfiledir}/${ZENTRAFOLD_PC_UP}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZENTRAFOLD_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(ZENTRAFOLD_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZENTRAFOLD_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ZENTRAFOLD_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zentrafold.pc.in ${PROJECT_BINARY_DIR}/zentrafold.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zentrafold.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
