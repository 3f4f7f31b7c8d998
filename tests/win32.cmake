# The two Win32 windows, made in the test's own process under Wine and driven
# through their messages.
kv_gtest(win_windows_test SOURCES win_windows_test.cpp test_util.cpp LIBS kvvb6win kvdotnetwin)
kv_wizard_resources(win_windows_test ${PROJECT_SOURCE_DIR}/vb6/frmChangeVersio.rc
                    ${PROJECT_SOURCE_DIR}/dotnet/frmChangeVersio.rc
                    ${CMAKE_CURRENT_SOURCE_DIR}/win_windows_test.rc)
