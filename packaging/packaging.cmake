# Install rules, the development-kit files (pkg-config, CMake package), the DLL's version
# resource and the Linux packages (CPack: .deb and .tar.gz). The Windows .zip, which takes both
# Windows builds, is made by packaging/make-zip.sh. The version is the project's (CMakeLists.txt).
include(GNUInstallDirs)
set(KV_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# The sample Config.ini, in GBK as the library reads it (kept in UTF-8 in the sources). Windows
# users open it in Notepad: CR LF there.
set(kv_ini ${CMAKE_BINARY_DIR}/Config.ini)
set(kv_eol "")
if(WIN32)
  set(kv_eol "s/$/\\r/")
endif()
add_custom_command(OUTPUT ${kv_ini}
  COMMAND sh -c "iconv -f UTF-8 -t GBK \"$0\" | sed -e '${kv_eol}' > \"$1\"" ${CMAKE_SOURCE_DIR}/tools/demo/Config.ini.sample ${kv_ini}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/demo/Config.ini.sample VERBATIM)
add_custom_target(kv_sample_ini ALL DEPENDS ${kv_ini})
# The version, for the scripts that name the packages.
file(WRITE ${CMAKE_BINARY_DIR}/VERSION "${PROJECT_VERSION}\n")

if(WIN32 AND TARGET KorvessaDLL)
  # VERSIONINFO: what Windows' file properties show. An object library of its own, so that the
  # DLL's C++ options do not reach the resource compiler.
  enable_language(RC)
  configure_file(${KV_PACKAGING_DIR}/KorvessaDLL.rc.in ${CMAKE_BINARY_DIR}/KorvessaDLL.rc @ONLY)
  add_library(kv_version OBJECT ${CMAKE_BINARY_DIR}/KorvessaDLL.rc)
  target_sources(KorvessaDLL PRIVATE $<TARGET_OBJECTS:kv_version>)

  # Import libraries for the register's linker, from a .def that names the exports as callers of
  # the header reference them: 32-bit __stdcall callers ask for BankTrans@8, which must resolve
  # to the plain export BankTrans (dlltool's kill-at). The .def the DLL is linked with maps the
  # other way round, so the import .def is made from it. KorvessaDLL.lib for MSVC (llvm-dlltool),
  # libKorvessaDLL.dll.a for MinGW (binutils' dlltool).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    file(READ ${CMAKE_SOURCE_DIR}/src/export/KorvessaDLL.def kv_def)
    string(REGEX REPLACE "([A-Za-z]+) = ([A-Za-z]+@[0-9]+)" "\\2" kv_def "${kv_def}")
    set(kv_machine i386)
    set(kv_killat -k)
  else()
    file(READ ${CMAKE_SOURCE_DIR}/src/export/KorvessaDLL64.def kv_def)
    set(kv_machine i386:x86-64)
    set(kv_killat)
  endif()
  set(kv_import_def ${CMAKE_BINARY_DIR}/import/KorvessaDLL.def)
  file(WRITE ${kv_import_def} "${kv_def}")
  find_program(KV_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool)
  find_program(KV_MINGW_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool)
  set(kv_implibs)
  if(KV_LLVM_DLLTOOL)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/import/KorvessaDLL.lib
      COMMAND ${KV_LLVM_DLLTOOL} -m ${kv_machine} ${kv_killat} -d ${kv_import_def} -l KorvessaDLL.lib
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/import DEPENDS ${kv_import_def} VERBATIM)
    list(APPEND kv_implibs ${CMAKE_BINARY_DIR}/import/KorvessaDLL.lib)
  else()
    message(WARNING "llvm-dlltool not found: no MSVC import library (Debian package llvm-14)")
  endif()
  if(KV_MINGW_DLLTOOL)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/import/libKorvessaDLL.dll.a
      COMMAND ${KV_MINGW_DLLTOOL} ${kv_killat} -d ${kv_import_def} -D KorvessaDLL.dll -l libKorvessaDLL.dll.a
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/import DEPENDS ${kv_import_def} VERBATIM)
    list(APPEND kv_implibs ${CMAKE_BINARY_DIR}/import/libKorvessaDLL.dll.a)
  endif()
  add_custom_target(kv_import_libs ALL DEPENDS ${kv_implibs})
endif()

# ---------------------------------------------------------------- install
set(kv_docdir ${CMAKE_INSTALL_DATADIR}/doc/korvessa)
install(FILES ${CMAKE_SOURCE_DIR}/include/KorvessaDLL.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${kv_docdir})
install(FILES ${kv_ini} DESTINATION ${CMAKE_INSTALL_DATADIR}/korvessa)
foreach(t korvessa posterm bankhost)
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET KorvessaDLL)
  # On Windows the import libraries are the ones made above, not the linker's by-product.
  install(TARGETS KorvessaDLL RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(WIN32)
    install(FILES ${kv_import_def} ${kv_implibs} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

if(NOT WIN32)
  # Both files find the kit relative to themselves, so an unpacked package works where it lies.
  configure_file(${KV_PACKAGING_DIR}/korvessa.pc.in ${CMAKE_BINARY_DIR}/korvessa.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/korvessa.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  include(CMakePackageConfigHelpers)
  file(RELATIVE_PATH KV_CONFIG_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/cmake/Korvessa /prefix)
  configure_file(${KV_PACKAGING_DIR}/KorvessaConfig.cmake.in ${CMAKE_BINARY_DIR}/KorvessaConfig.cmake @ONLY)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/KorvessaConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/KorvessaConfig.cmake ${CMAKE_BINARY_DIR}/KorvessaConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Korvessa)

  # ---------------------------------------------------------------- CPack: .deb and .tar.gz
  set(CPACK_PACKAGE_NAME korvessa)
  set(CPACK_PACKAGE_VENDOR "Korvessa")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Card-terminal payment library: development kit and tools")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
         "The library a cash-register application loads to take bank-card payments on a card terminal\n"
         "attached to a serial port, with its header, pkg-config and CMake files, the command-line\n"
         "register korvessa, the simulated terminal posterm and bank host bankhost, and a sample Config.ini.")
  set(CPACK_PACKAGE_FILE_NAME korvessa-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Korvessa developers <dev@korvessa.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The .deb installs under /usr; the .tar.gz holds the kit at its top (see CPackOptions.cmake).
  set(CPACK_PROJECT_CONFIG_FILE ${KV_PACKAGING_DIR}/CPackOptions.cmake)
  set(CPACK_GENERATOR "DEB;TGZ")
  include(CPack)
endif()
