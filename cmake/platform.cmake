# File name and link flags of the Pd library on each system. Pd resolves the
# host calls when it loads the library: on Linux and macOS they stay
# undefined in the library, on Windows it links against Pd's import library.
if(APPLE)
  # Untested: no macOS machine checks this branch.
  set_target_properties(qavex PROPERTIES SUFFIX ".pd_darwin")
  target_link_options(qavex PRIVATE -undefined dynamic_lookup)
elseif(WIN32)
  set_target_properties(qavex PROPERTIES SUFFIX ".dll")
  # The import library of pd.dll: a given one (QAVEX_PD_IMPORT_LIB, e.g. the
  # bin/pd.lib of a Windows Pd), else one made with dlltool from the list of
  # the host calls the library uses.
  set(QAVEX_PD_IMPORT_LIB "" CACHE FILEPATH "Import library of pd.dll; empty: made from cmake/pd.def")
  if(NOT QAVEX_PD_IMPORT_LIB)
    if(NOT CMAKE_DLLTOOL)
      find_program(CMAKE_DLLTOOL NAMES ${CMAKE_CXX_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool dlltool REQUIRED)
    endif()
    set(QAVEX_PD_IMPORT_LIB ${CMAKE_BINARY_DIR}/libpd.dll.a)
    add_custom_command(OUTPUT ${QAVEX_PD_IMPORT_LIB}
      COMMAND ${CMAKE_DLLTOOL} -d ${CMAKE_SOURCE_DIR}/cmake/pd.def -D pd.dll -l ${QAVEX_PD_IMPORT_LIB}
      DEPENDS ${CMAKE_SOURCE_DIR}/cmake/pd.def VERBATIM)
    add_custom_target(qavex_pd_import DEPENDS ${QAVEX_PD_IMPORT_LIB})
    add_dependencies(qavex qavex_pd_import)
  endif()
  target_link_libraries(qavex PRIVATE ${QAVEX_PD_IMPORT_LIB})
  if(MINGW)
    # One file for users: the C++ runtime, libgcc and winpthread linked in,
    # and none of their symbols exported.
    target_link_options(qavex PRIVATE -static -Wl,--exclude-libs,ALL)
    # GCC keeps the stack only 16-byte aligned on 64-bit Windows, so spilled
    # 32-byte vectors of the AVX2 builds are moved unaligned.
    target_compile_options(qavex_core PRIVATE -Wa,-muse-unaligned-vector-move)
    # Test programs static too: they run without the MinGW runtime DLLs.
    add_link_options(-static)
  endif()
else()
  set_target_properties(qavex PROPERTIES SUFFIX ".pd_linux")
  # Keep the symbols of statically linked helpers out of the export table.
  target_link_options(qavex PRIVATE -Wl,--exclude-libs,ALL)
endif()
