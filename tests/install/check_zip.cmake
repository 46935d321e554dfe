# Makes the Windows .zip with CPack and checks that it holds exactly the two programs, the
# licence and the README, at its top, under a name with the project version and the
# system (win32 or win64), and that the README's lines end in CR LF.
# cmake -DBUILD_DIR=... -DOUT_DIR=... -DVERSION=... -DSYSTEM=win32 -P check_zip.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${OUT_DIR})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${BUILD_DIR}/CPackConfig.cmake
                        -G ZIP -B ${OUT_DIR}
                RESULT_VARIABLE made OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${log}")
endif()
file(GLOB zips ${OUT_DIR}/nivra-${VERSION}-${SYSTEM}.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one nivra-${VERSION}-${SYSTEM}.zip in ${OUT_DIR}, found: ${zips}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zips}
                RESULT_VARIABLE listed OUTPUT_VARIABLE names)
string(REPLACE "\n" ";" names "${names}")
list(REMOVE_ITEM names "")
list(SORT names)
set(expected LICENSE.txt README.txt nivra-sign.exe nivra-unsign.exe)
if(NOT listed EQUAL 0 OR NOT names STREQUAL expected)
  message(FATAL_ERROR "the .zip holds '${names}', expected '${expected}'")
endif()
file(MAKE_DIRECTORY ${OUT_DIR}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${OUT_DIR}/unpacked)
# As bytes: file(READ) of text drops each CR before a LF.
file(READ ${OUT_DIR}/unpacked/README.txt readme HEX)
string(REGEX REPLACE "(..)" "\\1 " readme "${readme}")
string(REGEX MATCHALL "0a " ends "${readme}")
string(REGEX MATCHALL "0d 0a " crlf_ends "${readme}")
list(LENGTH ends lines)
list(LENGTH crlf_ends crlf)
if(lines EQUAL 0 OR NOT crlf EQUAL lines)
  message(FATAL_ERROR "README.txt: ${crlf} of its ${lines} lines end in CR LF")
endif()
