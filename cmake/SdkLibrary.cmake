# The libraries over the engine (the platform layer, kwexnet, tally, bounty,
# merix and the game's shares): each is a library of its own (shared unless
# BUILD_SHARED_LIBS is off) that exports only our own names, and installs
# with its public headers, a CMake package and a pkg-config file.
#
#   sdk_library(TARGET PACKAGE name OUTPUT_NAME name EXPORT_NAME name
#               DESCRIPTION text SOURCES ... [REQUIRES pkg...] [PACKAGES cmake-package...])
#
# REQUIRES are the pkg-config modules a user of the library needs as well
# (their headers are included by its headers); PACKAGES the CMake packages
# its package finds first.
include(CMakePackageConfigHelpers)

set(SDK_EXPORT_MAP ${CMAKE_CURRENT_LIST_DIR}/sdk-exports.map)
set(SDK_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

function(sdk_library target)
  cmake_parse_arguments(ARG "" "PACKAGE;OUTPUT_NAME;EXPORT_NAME;DESCRIPTION" "SOURCES;REQUIRES;PACKAGES" ${ARGN})
  add_library(${target} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME} EXPORT_NAME ${ARG_EXPORT_NAME}
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    POSITION_INDEPENDENT_CODE ON LINK_DEPENDS ${SDK_EXPORT_MAP}
    # Installed, each finds the libraries it needs beside it.
    INSTALL_RPATH "$ORIGIN")
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  if(BUILD_SHARED_LIBS)
    target_link_options(${target} PRIVATE -Wl,--version-script=${SDK_EXPORT_MAP})
  endif()

  install(TARGETS ${target} EXPORT ${ARG_PACKAGE}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

  # The CMake package: <package>::<export name>, finding its own packages first.
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${ARG_PACKAGE})
  install(EXPORT ${ARG_PACKAGE}Targets NAMESPACE ${ARG_PACKAGE}:: FILE ${ARG_PACKAGE}Targets.cmake
          DESTINATION ${cmake_dir})
  set(SDK_PACKAGE ${ARG_PACKAGE})
  set(SDK_FIND_DEPENDENCIES "")
  foreach(package IN LISTS ARG_PACKAGES)
    string(APPEND SDK_FIND_DEPENDENCIES "find_dependency(${package})\n")
  endforeach()
  set(out ${PROJECT_BINARY_DIR}/sdk/${ARG_PACKAGE})
  configure_package_config_file(${SDK_CMAKE_DIR}/sdkConfig.cmake.in ${out}/${ARG_PACKAGE}Config.cmake
    INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${out}/${ARG_PACKAGE}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${out}/${ARG_PACKAGE}Config.cmake ${out}/${ARG_PACKAGE}ConfigVersion.cmake
          DESTINATION ${cmake_dir})

  # The pkg-config file finds its prefix relative to its own folder, so a
  # staged install works. A static build names the libraries below it too.
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH SDK_PC_TO_PREFIX /prefix/${pc_dir} /prefix)
  string(REGEX REPLACE "/$" "" SDK_PC_TO_PREFIX "${SDK_PC_TO_PREFIX}")
  set(SDK_PC_NAME ${ARG_PACKAGE})
  set(SDK_PC_DESCRIPTION "${ARG_DESCRIPTION}")
  set(SDK_PC_LIBRARY ${ARG_OUTPUT_NAME})
  list(JOIN ARG_REQUIRES ", " SDK_PC_REQUIRES)
  set(SDK_PC_LIBS_PRIVATE "")
  if(NOT BUILD_SHARED_LIBS)
    set(SDK_PC_LIBS_PRIVATE "-lstdc++ -lpthread")
  endif()
  configure_file(${SDK_CMAKE_DIR}/sdk.pc.in ${out}/${ARG_PACKAGE}.pc @ONLY)
  install(FILES ${out}/${ARG_PACKAGE}.pc DESTINATION ${pc_dir})

  # The shared library exports our own names and nothing else (sanitizer
  # runtimes add symbols of their own, so plain builds check it).
  if(PROJECT_TESTS_ENABLED AND BUILD_SHARED_LIBS AND NOT AURA_SANITIZE AND NOT AURA_FUZZ)
    add_test(NAME layout.${ARG_PACKAGE}ExportsOnlyItsInterface
             COMMAND bash ${PROJECT_SOURCE_DIR}/tools/check-library-exports $<TARGET_FILE:${target}>
                     ${CMAKE_CURRENT_SOURCE_DIR}/include)
    set_tests_properties(layout.${ARG_PACKAGE}ExportsOnlyItsInterface PROPERTIES LABELS layout)
  endif()
endfunction()
