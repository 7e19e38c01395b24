# The firmware image the tool carries. FWU_FIRMWARE_IMAGE names the file to
# embed byte for byte; left empty, the tool carries the sample image, which
# the build makes with a small generator compiled for the build machine. The
# sample (not a firmware) is always made: the tests and the demo use it.
set(FWU_FIRMWARE_IMAGE "" CACHE FILEPATH "Firmware image file to embed (empty: the generated sample)")

find_program(FWU_HOST_CXX NAMES c++ g++ clang++ REQUIRED
  DOC "C++ compiler of the build machine, for the sample image generator")
set(FWU_SAMPLE_IMAGE ${PROJECT_BINARY_DIR}/sample_image.bin)
set(sample_generator ${PROJECT_BINARY_DIR}/make_sample_image${CMAKE_HOST_EXECUTABLE_SUFFIX})
add_custom_command(OUTPUT ${sample_generator}
  COMMAND ${FWU_HOST_CXX} -std=c++17 -O2 -o ${sample_generator} ${PROJECT_SOURCE_DIR}/image/make_sample_image.cpp
  DEPENDS ${PROJECT_SOURCE_DIR}/image/make_sample_image.cpp
  COMMENT "Building the sample image generator for the build machine")
add_custom_command(OUTPUT ${FWU_SAMPLE_IMAGE}
  COMMAND ${sample_generator} ${FWU_SAMPLE_IMAGE}
  DEPENDS ${sample_generator}
  COMMENT "Generating the sample image")

if(FWU_FIRMWARE_IMAGE STREQUAL "")
  set(FWU_IMAGE_FILE ${FWU_SAMPLE_IMAGE})
else()
  get_filename_component(FWU_IMAGE_FILE "${FWU_FIRMWARE_IMAGE}" ABSOLUTE)
  if(NOT EXISTS "${FWU_IMAGE_FILE}" OR IS_DIRECTORY "${FWU_IMAGE_FILE}")
    message(FATAL_ERROR "FWU_FIRMWARE_IMAGE: no such file: ${FWU_FIRMWARE_IMAGE}")
  endif()
  file(SIZE "${FWU_IMAGE_FILE}" image_bytes)
  if(image_bytes EQUAL 0)
    message(FATAL_ERROR "FWU_FIRMWARE_IMAGE: ${FWU_FIRMWARE_IMAGE} is empty; the tool needs at least one byte to write")
  endif()
endif()
add_custom_target(firmware_image ALL DEPENDS ${FWU_SAMPLE_IMAGE} ${FWU_IMAGE_FILE})
