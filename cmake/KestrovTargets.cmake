# How the project's targets are put together.
#
# Headers are included by their path from the source root ("scan/scan.h"),
# but no target sees the whole root: each library makes only its own folder
# visible, through a link under build/include/<target>/, so that a folder's
# headers reach exactly the targets that declare a dependency on it.

# Makes the calling folder's headers visible to `target` and, with PUBLIC or
# INTERFACE, to every target that links it.
function(kestrov_headers target scope)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${root}/${folder})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# A Windows program with a wmain entry point, built from the calling
# folder's sources and seeing its headers.
function(kestrov_add_program target)
  add_executable(${target} ${ARGN})
  kestrov_headers(${target} PRIVATE)
  target_link_libraries(${target} PRIVATE kestrov_platform)
  target_link_options(${target} PRIVATE -municode)
endfunction()

# A GoogleTest program of the calling test folder (main from gtest_main).
function(kestrov_add_test_program target)
  add_executable(${target} ${ARGN})
  kestrov_headers(${target} PRIVATE)
  target_link_libraries(${target} PRIVATE kestrov_test_flags GTest::gtest_main)
endfunction()
