# Driver code is compiled as a Windows kernel driver is: no exceptions, no
# RTTI, no C++ standard library, UTF-16 wchar_t, and only the hosted WDK
# headers on its include path. A check run at build time refuses any include
# that reaches past them (a C or C++ library header, a platform internal).

set(TALVOR_DRIVER_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/platform/include)

function(talvor_driver_code target)
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -nostdinc++ -fshort-wchar
    # Keep every call a call, so that findings name the routine that made it.
    -fno-optimize-sibling-calls
    $<$<BOOL:${TALVOR_SANITIZE}>:-fno-sanitize=vptr>)
  target_include_directories(${target} BEFORE PRIVATE ${TALVOR_DRIVER_INCLUDE_DIR}
                             ${PROJECT_SOURCE_DIR})
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(files)
  foreach(source IN LISTS sources)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
    list(APPEND files ${source})
    # Headers beside the sources are driver code as well.
    cmake_path(GET source PARENT_PATH dir)
    file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
    list(APPEND files ${headers})
  endforeach()
  list(REMOVE_DUPLICATES files)
  string(REPLACE ";" "|" file_list "${files}")
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.includes-checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} "-DFILES=${file_list}"
            -DSTAMP=${stamp} -P ${PROJECT_SOURCE_DIR}/cmake/CheckDriverIncludes.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/CheckDriverIncludes.cmake
    COMMENT "Checking the includes of driver code in ${target}"
    VERBATIM)
  add_custom_target(${target}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_includes)
endfunction()
