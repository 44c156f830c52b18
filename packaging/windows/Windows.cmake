# The Windows zip, one per bitness: `cpack -G ZIP` in a Windows build
# (VyHID-<version>-win32.zip, -win64.zip). It holds the whole installation
# (bin/, include/, lib/; the Windows bridge beside the programs, the
# simulated one in bin/bridge/sim), a README of a page and the licence.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VYHID_BITS 64)
else()
  set(VYHID_BITS 32)
endif()
set(VYHID_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
        DESTINATION . COMPONENT runtime)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VyHID)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME VyHID-${PROJECT_VERSION}-win${VYHID_BITS})
set(CPACK_STRIP_FILES ON)
include(CPack)
