# Common compile settings and helpers shared by every target of the project.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(VARO_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor
      -Wcast-align -Woverloaded-virtual -Wformat=2)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    list(REMOVE_ITEM VARO_WARNING_FLAGS -Wshadow=local)
    # qCDebug(category) << ... expands to a variadic macro call without
    # arguments, which clang's pedantic mode reports.
    list(APPEND VARO_WARNING_FLAGS -Wshadow-uncaptured-local -Wno-gnu-zero-variadic-macro-arguments)
  endif()
  if(VARO_WERROR)
    list(APPEND VARO_WARNING_FLAGS -Werror)
  endif()
  if(VARO_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
elseif(MSVC)
  set(VARO_WARNING_FLAGS /W4)
endif()

# Warn about deprecated Qt calls; the sources stay valid from Qt 5.12 on.
add_compile_definitions(QT_DEPRECATED_WARNINGS QT_NO_FOREACH)

# varo_add_library(<name> <folder-relative-to-this-dir> LIBS <deps...>)
# One static library per subsystem folder; sources are the .cpp/.h files of
# that folder (not of its subfolders, which are libraries of their own).
function(varo_add_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXTRA_SOURCES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  set(cpp_sources ${sources})
  list(FILTER cpp_sources INCLUDE REGEX "\\.cpp$")
  if(NOT cpp_sources AND NOT ARG_EXTRA_SOURCES)
    # A subsystem whose code has not been written yet.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${sources} ${ARG_EXTRA_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${VARO_WARNING_FLAGS})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()
