# Settings of the Windows builds, 32-bit and 64-bit (included by
# ProjectOptions.cmake).

# Programs and the framework's libraries go into one folder, as they would be
# installed: Windows finds a program's libraries next to it. Bridges are the
# exception (vyhid_add_bridge): each stays in a folder of its own, so that a
# program chooses its bridge by loading it by path first.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# The C++ runtime is one set of DLLs shared by every module of the process
# (libstdc++, libgcc's unwinder, winpthreads), copied next to the programs.
# Linked statically, each module would carry its own unwinder, and an
# exception thrown in one module (a bridge, the package) could not pass
# through another: the process would end in std::terminate. Only a module
# that lets no exception out may take the runtime statically (the system
# bridge in bridge/win32 does, so that it ships as one file).
# libgcc's unwinder is named after its method: DWARF tables on 32-bit x86,
# the system's structured exception handling on x86-64.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(libgcc_dll libgcc_s_seh-1.dll)
else()
  set(libgcc_dll libgcc_s_dw2-1.dll)
endif()
foreach(runtime_dll libstdc++-6.dll ${libgcc_dll} libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime_dll}
                  OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
    message(FATAL_ERROR "${runtime_dll} not found by ${CMAKE_CXX_COMPILER}")
  endif()
  file(COPY ${runtime_path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  # Installed too, beside the framework's DLLs that need them: without them
  # an installed program does not start on a machine that lacks mingw-w64.
  include(GNUInstallDirs)
  install(FILES ${runtime_path} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  # Stripped when the installation strips the project's own modules (cpack,
  # the install/strip target): Debian's copies carry their symbols.
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${runtime_dll}\")
  endif()" COMPONENT runtime)
endforeach()

# Libraries are named as on Windows: rtl270.dll, vcl270.dll, VyHIDpkg.dll.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
