# The build's target family and embedded firmware, read in one place.
set(QUENDAL_FIRMWARE_FILE "${CMAKE_SOURCE_DIR}/firmware/Lurra 3.96.txt"
    CACHE FILEPATH "TI-Text file embedded as the built-in firmware image")
set(QUENDAL_FIRMWARE_NAME ""
    CACHE STRING "Name of the built-in image (empty: the firmware file's name without .txt)")
