# kvMigrateDotNet: the .NET solution migration window (Qt Widgets).
find_package(Qt6 REQUIRED COMPONENTS Widgets)
include(GNUInstallDirs)

# The window as a library, so that the tests can drive it.
add_library(kvdotnetgui STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/frmChangeVersio.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/frmChangeVersio.h
  ${CMAKE_CURRENT_SOURCE_DIR}/frmChangeVersio.ui
)
set_target_properties(kvdotnetgui PROPERTIES AUTOMOC ON AUTOUIC ON)
target_include_directories(kvdotnetgui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kvdotnetgui PUBLIC kvdotnet kvgui Qt6::Widgets)

add_executable(kvMigrateDotNet WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/main_gui.cpp)
if(WIN32)
  target_sources(kvMigrateDotNet PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/kvMigrateDotNet.rc)
endif()
target_link_libraries(kvMigrateDotNet PRIVATE kvdotnetgui)

install(TARGETS kvMigrateDotNet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/kvMigrateDotNet.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
