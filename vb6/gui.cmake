# kvMigrate: the Visual Basic 6 migration window (Qt Widgets).
find_package(Qt6 REQUIRED COMPONENTS Widgets)
include(GNUInstallDirs)

# The window as a library, so that the tests can drive it.
add_library(kvvb6gui STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/frmChangeVersio.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/frmChangeVersio.h
  ${CMAKE_CURRENT_SOURCE_DIR}/frmChangeVersio.ui
)
set_target_properties(kvvb6gui PROPERTIES AUTOMOC ON AUTOUIC ON)
target_include_directories(kvvb6gui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kvvb6gui PUBLIC kvvb6 kvgui Qt6::Widgets)

add_executable(kvMigrate WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/main_gui.cpp)
if(WIN32)
  target_sources(kvMigrate PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/kvMigrate.rc)
endif()
target_link_libraries(kvMigrate PRIVATE kvvb6gui)

install(TARGETS kvMigrate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/kvMigrate.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
