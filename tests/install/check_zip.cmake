# Makes the Windows .zip with CPack and checks that it holds exactly the two programs and
# the README, at its top, under a name with the project version.
# cmake -DBUILD_DIR=... -DOUT_DIR=... -DVERSION=... -P check_zip.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${OUT_DIR})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${BUILD_DIR}/CPackConfig.cmake
                        -G ZIP -B ${OUT_DIR}
                RESULT_VARIABLE made OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${log}")
endif()
file(GLOB zips ${OUT_DIR}/nivra-${VERSION}-*.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one nivra-${VERSION}-*.zip in ${OUT_DIR}, found: ${zips}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zips}
                RESULT_VARIABLE listed OUTPUT_VARIABLE names)
string(REPLACE "\n" ";" names "${names}")
list(REMOVE_ITEM names "")
list(SORT names)
set(expected README.txt nivra-sign.exe nivra-unsign.exe)
if(NOT listed EQUAL 0 OR NOT names STREQUAL expected)
  message(FATAL_ERROR "the .zip holds '${names}', expected '${expected}'")
endif()
