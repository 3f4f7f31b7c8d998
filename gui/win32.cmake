# The Win32 migration windows: the window code both share (kvwingui), their
# icons made from gui/icons/*.svg, and kv_add_win_wizard, which each program's
# folder calls.
find_program(KV_RSVG rsvg-convert REQUIRED)
find_program(KV_CONVERT NAMES convert-im6.q16 convert REQUIRED)
set(icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons)
# icon(NAME SIZES...): NAME.ico with one image per size.
function(kv_icon name)
  set(pngs)
  set(commands)
  foreach(size ${ARGN})
    set(png ${icon_dir}/${name}-${size}.png)
    list(APPEND pngs ${png})
    list(APPEND commands COMMAND ${KV_RSVG} -w ${size} -h ${size}
         ${CMAKE_CURRENT_SOURCE_DIR}/icons/${name}.svg -o ${png})
  endforeach()
  add_custom_command(OUTPUT ${icon_dir}/${name}.ico
    COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}
    ${commands}
    COMMAND ${KV_CONVERT} ${pngs} ${icon_dir}/${name}.ico
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/icons/${name}.svg
    COMMENT "Icon ${name}.ico")
endfunction()
kv_icon(kvmigrate 16 20 24 32 40 48 64 256)
kv_icon(binoculars 16 20 24 32)
add_custom_target(kvwizard_icons DEPENDS ${icon_dir}/kvmigrate.ico ${icon_dir}/binoculars.ico)

add_library(kvwingui STATIC win_wizard.cpp win_main.cpp)
target_include_directories(kvwingui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(kvwingui PUBLIC UNICODE _UNICODE WINVER=0x0A00 _WIN32_WINNT=0x0A00)
target_link_libraries(kvwingui PUBLIC kvwizard comctl32 comdlg32 shell32 gdi32 user32)

# Resources: the icons (gui/wizard.rc) and a dialog template go straight into
# each program, since a linker takes nothing from a static library's
# resources. WIZARD_RC_SOURCES: what a program or a test adds for them.
set(KV_WIZARD_RC ${CMAKE_CURRENT_SOURCE_DIR}/wizard.rc CACHE INTERNAL "")
set(KV_WIZARD_ICON ${icon_dir}/kvmigrate.ico CACHE INTERNAL "")
set(KV_WIZARD_MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/kvwizard.manifest CACHE INTERNAL "")
set(KV_WIZARD_RC_INCLUDES ${CMAKE_CURRENT_SOURCE_DIR} ${icon_dir} CACHE INTERNAL "")

# kv_wizard_resources(TARGET RC_FILES...): the .rc files in TARGET, with the
# resource header and the icons found.
function(kv_wizard_resources target)
  target_sources(${target} PRIVATE ${KV_WIZARD_RC} ${ARGN})
  foreach(dir ${KV_WIZARD_RC_INCLUDES})
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:-I${dir}>)
  endforeach()
  add_dependencies(${target} kvwizard_icons)
endfunction()

# kv_add_win_wizard(PROGRAM LIBRARY ENGINE): PROGRAM.exe, a window of
# kvwingui, from the calling folder's frmChangeVersioWin.cpp (as LIBRARY, for
# the tests), frmChangeVersio.rc (its dialog), main_win.cpp and PROGRAM.rc.in
# (its version record and manifest).
function(kv_add_win_wizard program library engine)
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  add_library(${library} STATIC ${dir}/frmChangeVersioWin.cpp)
  target_include_directories(${library} PUBLIC ${dir} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${library} PUBLIC ${engine} kvwingui)
  set(KV_MANIFEST ${KV_WIZARD_MANIFEST})
  configure_file(${dir}/${program}.rc.in ${program}.rc @ONLY)
  add_executable(${program} WIN32 ${dir}/main_win.cpp)
  target_link_options(${program} PRIVATE -municode)
  kv_wizard_resources(${program} ${dir}/frmChangeVersio.rc ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc)
  target_link_libraries(${program} PRIVATE ${library})
  install(TARGETS ${program} RUNTIME DESTINATION .)  # beside kvmigrate-cli.exe
endfunction()
