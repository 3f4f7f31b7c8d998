# The two Win32 windows, made in the test's own process under Wine and driven
# through their messages.
kv_gtest(win_windows_test SOURCES win_windows_test.cpp test_util.cpp LIBS kvvb6win kvdotnetwin)
kv_wizard_resources(win_windows_test ${PROJECT_SOURCE_DIR}/vb6/frmChangeVersio.rc
                    ${PROJECT_SOURCE_DIR}/dotnet/frmChangeVersio.rc
                    ${CMAKE_CURRENT_SOURCE_DIR}/win_windows_test.rc)
target_link_libraries(win_windows_test PRIVATE version)
target_compile_definitions(win_windows_test PRIVATE
  KV_VB6_EXE="$<TARGET_FILE:kvMigrate>" KV_DOTNET_EXE="$<TARGET_FILE:kvMigrateDotNet>")
add_dependencies(win_windows_test kvMigrate kvMigrateDotNet)
