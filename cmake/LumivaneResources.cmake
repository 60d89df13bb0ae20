# The application's resources folder: "resources" beside each executable
# that needs it (the program, the tests and the benchmarks that load fonts).
# DejaVu Sans comes from the system's fonts-dejavu-core.
find_file(LUMIVANE_DEJAVU_SANS DejaVuSans.ttf
  PATHS /usr/share/fonts/truetype/dejavu /usr/share/fonts/dejavu
  NO_DEFAULT_PATH REQUIRED)

# lumivane_copy_resources(<target>): after each build of the target, its
# folder holds resources/DejaVuSans.ttf.
function(lumivane_copy_resources target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory $<TARGET_FILE_DIR:${target}>/resources
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LUMIVANE_DEJAVU_SANS}
            $<TARGET_FILE_DIR:${target}>/resources/DejaVuSans.ttf
    VERBATIM)
endfunction()
