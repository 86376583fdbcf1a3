# Installation as a Pd package folder "qavex/": the library, every help
# patch, the examples, README and LICENSE. `cmake --install build` puts the
# folder into the user's Pd externals folder unless a prefix is given;
# `cmake --install build --prefix DIR` puts it at DIR/qavex.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  if(APPLE)
    set(qavex_user_dir "$ENV{HOME}/Documents/Pd/externals")
  elseif(WIN32)
    file(TO_CMAKE_PATH "$ENV{APPDATA}/Pd" qavex_user_dir)
  else()
    set(qavex_user_dir "$ENV{HOME}/.local/lib/pd/extra")
  endif()
  set(CMAKE_INSTALL_PREFIX "${qavex_user_dir}" CACHE PATH
    "Pd externals folder that receives the qavex package folder" FORCE)
endif()

install(TARGETS qavex
  LIBRARY DESTINATION qavex COMPONENT qavex
  RUNTIME DESTINATION qavex COMPONENT qavex)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION qavex COMPONENT qavex)

# Every file below a source folder, keeping its sub-folders. The globs are
# checked at build time, so a folder that appears later is picked up too.
function(qavex_install_tree src dest)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS LIST_DIRECTORIES false ${CMAKE_SOURCE_DIR}/${src}/*)
  foreach(f ${files})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/${src} ${f})
    set(to qavex)
    get_filename_component(sub "${rel}" DIRECTORY)
    foreach(part ${dest} ${sub})
      set(to ${to}/${part})
    endforeach()
    install(FILES ${f} DESTINATION ${to} COMPONENT qavex)
  endforeach()
endfunction()
# Help patches lie beside the library, where Pd looks for them.
qavex_install_tree(help "")
qavex_install_tree(examples examples)

# Uninstall removes what the last `cmake --install` of this build listed,
# and the package folder once it is empty.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DQAVEX_MANIFEST=${CMAKE_BINARY_DIR}/install_manifest.txt
          -P ${CMAKE_SOURCE_DIR}/cmake/uninstall.cmake
  VERBATIM)

# Deken packages: one folder named after the library, zipped, with the
# system, processor and float size in the file name, a checksum and an
# objects list beside it (cmake/deken.cmake). package-deken holds the
# stripped library of this build; package-deken-sources the committed
# sources (git archive) instead.
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" qavex_cpu)
if(qavex_cpu MATCHES "^(x86_64|amd64)$")
  set(qavex_cpu amd64)
elseif(qavex_cpu MATCHES "^(aarch64|arm64)$")
  set(qavex_cpu arm64)
elseif(qavex_cpu MATCHES "^i.86$")
  set(qavex_cpu i386)
endif()
if(APPLE AND CMAKE_OSX_ARCHITECTURES MATCHES ";")
  set(qavex_cpu fat)
endif()
set(QAVEX_DEKEN_FILE "${CMAKE_BINARY_DIR}/qavex[v${PROJECT_VERSION}](${CMAKE_SYSTEM_NAME}-${qavex_cpu}-32).dek")
set(qavex_stage ${CMAKE_BINARY_DIR}/deken-stage)
add_custom_target(package-deken
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${qavex_stage}
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${qavex_stage} --component qavex --strip
  COMMAND ${CMAKE_COMMAND} -DSTAGE=${qavex_stage} -DDEK=${QAVEX_DEKEN_FILE} -DHELP=${CMAKE_SOURCE_DIR}/help
          -P ${CMAKE_SOURCE_DIR}/cmake/deken.cmake
  DEPENDS qavex
  VERBATIM)

set(QAVEX_DEKEN_SOURCES "${CMAKE_BINARY_DIR}/qavex[v${PROJECT_VERSION}](Sources).dek")
set(qavex_src_stage ${CMAKE_BINARY_DIR}/deken-sources-stage)
find_program(QAVEX_GIT git)
add_custom_target(package-deken-sources
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${qavex_src_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${qavex_src_stage}
  COMMAND ${QAVEX_GIT} -C ${CMAKE_SOURCE_DIR} archive --format=tar --prefix=qavex/ -o ${qavex_src_stage}/sources.tar HEAD
  COMMAND ${CMAKE_COMMAND} -E chdir ${qavex_src_stage} ${CMAKE_COMMAND} -E tar xf sources.tar
  COMMAND ${CMAKE_COMMAND} -E rm -f ${qavex_src_stage}/sources.tar
  COMMAND ${CMAKE_COMMAND} -DSTAGE=${qavex_src_stage} -DDEK=${QAVEX_DEKEN_SOURCES} -DHELP=${CMAKE_SOURCE_DIR}/help
          -P ${CMAKE_SOURCE_DIR}/cmake/deken.cmake
  VERBATIM)
