# Window tests: Qt Test on the offscreen platform.
find_package(Qt6 REQUIRED COMPONENTS Test)

# kv_qtest(NAME SOURCES... LIBS libs...)
function(kv_qtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test)
  target_compile_definitions(${name} PRIVATE KV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

kv_qtest(gui_runner_test SOURCES gui_runner_test.cpp test_util.cpp LIBS kvgui)
kv_qtest(gui_vb6_test SOURCES gui_vb6_test.cpp test_util.cpp LIBS kvvb6gui)
kv_qtest(gui_dotnet_test SOURCES gui_dotnet_test.cpp test_util.cpp LIBS kvdotnetgui)

# The programs, their desktop entries (with the version filled in) and the icon
# land where a desktop finds them.
set(bin ${CMAKE_INSTALL_BINDIR})
set(apps ${CMAKE_INSTALL_DATADIR}/applications)
add_test(NAME install_layout
         COMMAND sh -c "d=$(mktemp -d) && ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix $d >/dev/null && for f in ${bin}/kvMigrate ${bin}/kvMigrateDotNet ${bin}/kvmigrate-cli ${apps}/kvMigrate.desktop ${apps}/kvMigrateDotNet.desktop ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps/kvmigrate.svg; do test -f $d/$f || { echo missing $f; exit 1; }; done; for f in $d/${apps}/*.desktop; do grep -qx X-AppVersion=${KV_VERSION_TEXT} $f || { echo no version in $f; exit 1; }; done; rm -rf $d")
