# The product as a pilot downloads it: the 32-bit DLL, checked from its headers,
# stripped, and zipped with an example port list and the install text.
set(QEL_IS_PRODUCT_BUILD OFF)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QEL_IS_PRODUCT_BUILD ON)
endif()

if(NOT QEL_IS_PRODUCT_BUILD)
  if(NOT TARGET package)
    add_custom_target(package
      COMMAND ${CMAKE_COMMAND} -E echo
              "The archive holds the 32-bit DLL: cmake --preset win32-release && cmake --build --preset win32-release --target package"
      COMMAND ${CMAKE_COMMAND} -E false)
  endif()
  return()
endif()

# The release DLL carries no symbols: a third of its size, and nothing a pilot needs.
target_link_options(Qelmarin PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)

set(QEL_CHECK_DLL ${PROJECT_SOURCE_DIR}/scripts/check-dll)
if(BUILD_TESTING)
  add_test(NAME check_dll COMMAND ${QEL_CHECK_DLL} $<TARGET_FILE:Qelmarin>)
  # The check itself must catch what it is there to catch.
  add_test(NAME check_dll_refuses
           COMMAND ${PROJECT_SOURCE_DIR}/tests/dll_check/refuses ${QEL_CHECK_DLL}
                   ${CMAKE_CXX_COMPILER} ${CMAKE_CURRENT_BINARY_DIR}/dll_check)
endif()

set(QEL_PACKAGE_NAME Qelmarin-${PROJECT_VERSION}-win32)
set(QEL_PACKAGE_ROOT ${CMAKE_BINARY_DIR}/package)
set(QEL_PACKAGE_DIR ${QEL_PACKAGE_ROOT}/${QEL_PACKAGE_NAME})
file(MAKE_DIRECTORY ${QEL_PACKAGE_ROOT})
set(QEL_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${QEL_PACKAGE_NAME}.zip)
add_custom_command(
  OUTPUT ${QEL_PACKAGE_ZIP}
  COMMAND ${QEL_CHECK_DLL} $<TARGET_FILE:Qelmarin>
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QEL_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QEL_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Qelmarin> ${QEL_PACKAGE_DIR}/Qelmarin.dll
  COMMAND ${CMAKE_COMMAND} -DIN=${QEL_EXAMPLES_DIR}/Qel.ini -DOUT=${QEL_PACKAGE_DIR}/Qel.ini
          -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/packaging/INSTALL.txt
          -DOUT=${QEL_PACKAGE_DIR}/INSTALL.txt -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
  COMMAND ${CMAKE_COMMAND} -E rm -f ${QEL_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${QEL_PACKAGE_ZIP} --format=zip
          ${QEL_PACKAGE_NAME}/Qelmarin.dll ${QEL_PACKAGE_NAME}/Qel.ini ${QEL_PACKAGE_NAME}/INSTALL.txt
  WORKING_DIRECTORY ${QEL_PACKAGE_ROOT}
  DEPENDS Qelmarin ${QEL_CHECK_DLL} ${QEL_EXAMPLES_DIR}/Qel.ini
          ${PROJECT_SOURCE_DIR}/packaging/INSTALL.txt ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
  COMMENT "Checking Qelmarin.dll and packing ${QEL_PACKAGE_NAME}.zip"
  VERBATIM)
add_custom_target(package DEPENDS ${QEL_PACKAGE_ZIP})
