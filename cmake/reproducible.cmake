# The same sources and image give the same fwu.exe, byte for byte, whatever
# the build folder, the image's path or the time of the build: a release is
# checked by its SHA-256 alone.
if(WIN32)
  # The PE header carries the link time unless told not to; the resource
  # directory's own stamp is already zero from windres.
  add_link_options(-Wl,--no-insert-timestamp)
  # Paths reach the objects through __FILE__ and debug information. The build
  # folder lies inside the source tree by default: its map comes last, so
  # GCC tries it first.
  add_compile_options(
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
    -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
endif()
