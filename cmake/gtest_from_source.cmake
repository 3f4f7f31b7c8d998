# GoogleTest for a cross build: Debian packages no Windows library of it, but
# libgtest-dev ships its sources, built here with the project's compiler as
# GTest::gtest and GTest::gtest_main.
set(KV_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KV_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# (Its own CMake file names the GTest:: aliases.)
foreach(lib gtest gtest_main)
  target_compile_options(${lib} PRIVATE -w)
endforeach()
