# File name and link flags of the Pd library on each system. Pd resolves the
# host calls when it loads the library: on Linux and macOS they stay
# undefined in the library, on Windows it links against Pd's import library.
if(APPLE)
  set_target_properties(qavex PROPERTIES SUFFIX ".pd_darwin")
  target_link_options(qavex PRIVATE -undefined dynamic_lookup)
elseif(WIN32)
  set_target_properties(qavex PROPERTIES SUFFIX ".dll")
  find_library(PD_LIBRARY NAMES pd libpd
    HINTS ${PD_INCLUDE_DIR}/../bin ${PD_INCLUDE_DIR}/../../bin REQUIRED)
  target_link_libraries(qavex PRIVATE ${PD_LIBRARY})
  if(MINGW)
    target_link_options(qavex PRIVATE -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL)
  endif()
else()
  set_target_properties(qavex PROPERTIES SUFFIX ".pd_linux")
  # Keep the symbols of statically linked helpers out of the export table.
  target_link_options(qavex PRIVATE -Wl,--exclude-libs,ALL)
endif()
