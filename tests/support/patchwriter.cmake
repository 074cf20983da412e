# The test-only patch writers and the ELF image builder: plain C++ over the patch engine, shared by the tests,
# the fuzz seeds and the benchmarks (so they build without Qt's test libraries). The engine itself only applies patches.
set(patch_writer_sources
    ${CMAKE_CURRENT_LIST_DIR}/disanddiffwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/elfbuilder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ensemblepatchwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/labelmatcher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lzma2blockwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/patchpieces.cpp)
add_library(patch_writer STATIC ${patch_writer_sources})
target_include_directories(patch_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(patch_writer PUBLIC corvapatch PRIVATE LibLZMA::LibLZMA corvalink_warnings)
