# Reliability: fault injection through the file layer, a kill at any moment,
# permissions and odd files; and, when a fuzz build is named, the fuzz targets.

# Every open, read, write, flush and rename of a run over the examples, failed.
kv_gtest(reliability_faults_test SOURCES reliability_faults_test.cpp test_util.cpp
         LIBS kvvb6 kvdotnet)

# kvmigrate-cli killed with SIGKILL at many moments of a run over large files.
kv_gtest(reliability_kill_test SOURCES reliability_kill_test.cpp test_util.cpp
         LIBS kvvb6 kvdotnet)
add_dependencies(reliability_kill_test kvmigrate-cli)

# Unreadable and read-only files and folders, symlinks, odd names and paths,
# two runs at once; as the user nobody where the tests run as root.
kv_gtest(reliability_files_test SOURCES reliability_files_test.cpp test_util.cpp
         LIBS kvvb6 kvdotnet)
add_dependencies(reliability_files_test kvmigrate-cli)

# The fuzz targets are built apart, with clang (tests/fuzz/README.md). Name
# that build here and ctest runs each target for KV_FUZZ_SECONDS.
set(KV_FUZZ_BUILD_DIR "" CACHE PATH "A build with KV_BUILD_FUZZ=ON whose targets ctest runs")
set(KV_FUZZ_SECONDS 30 CACHE STRING "Seconds that ctest runs each fuzz target")
if(KV_FUZZ_BUILD_DIR)
  foreach(target fuzz_helpers fuzz_rules fuzz_dotnet_text fuzz_dotnet_parse fuzz_vb6 fuzz_cli_tree)
    add_test(NAME fuzz.${target}
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/run_all.sh ${KV_FUZZ_BUILD_DIR}
                     ${KV_FUZZ_SECONDS} ${target})
    math(EXPR limit "${KV_FUZZ_SECONDS} + 120")
    set_tests_properties(fuzz.${target} PROPERTIES TIMEOUT ${limit} LABELS fuzz)
  endforeach()
endif()

# Project files from anywhere: forged names, code pages, paths outside the
# project, a stop during the last file, a million levels of nesting; the
# record's file, version texts, web addresses and folders the search cannot read.
kv_gtest(hostile_test SOURCES hostile_test.cpp hostile_output_test.cpp test_util.cpp
         LIBS kvvb6 kvdotnet)
add_dependencies(hostile_test kvmigrate-cli)
