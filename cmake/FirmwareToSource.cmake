# cmake -DQUENDAL_INPUT=file.txt -DQUENDAL_OUTPUT=image.cpp [-DQUENDAL_NAME=name] -P this
#
# Reads a TI-Text file by the same rules as BSLLoadTIFile (loader/firmware_image.cpp) and
# writes the built-in image record: name, the 16 vector words, the image text ("@%05X"
# addresses, words high byte first, odd last byte padded with FF, data in upper case,
# 0xFA00-0xFFFF other than the vectors dropped) and its length and character sum.
cmake_minimum_required(VERSION 3.25)

function(fail why)
  message(FATAL_ERROR "Firmware file \"${QUENDAL_INPUT}\" is not a valid TI-Text file: ${why}")
endfunction()

# Upper-case hex digits of a number, zero-padded to `width`.
function(to_hex value width out)
  math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex}" 2 -1 hex)
  string(TOUPPER "${hex}" hex)
  string(LENGTH "${hex}" n)
  if(n LESS width)
    math(EXPR pad "${width} - ${n}")
    string(REPEAT "0" ${pad} zeros)
    set(hex "${zeros}${hex}")
  endif()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

if(NOT DEFINED QUENDAL_INPUT OR NOT DEFINED QUENDAL_OUTPUT)
  message(FATAL_ERROR "usage: cmake -DQUENDAL_INPUT=file -DQUENDAL_OUTPUT=file -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
if(NOT EXISTS "${QUENDAL_INPUT}")
  message(FATAL_ERROR "Firmware file \"${QUENDAL_INPUT}\" not found")
endif()

file(READ "${QUENDAL_INPUT}" content)
string(SUBSTRING "${content}" 0 1 first)
if(NOT first STREQUAL "@")
  fail("it does not begin with \"@\"")
endif()
string(FIND "${content}" "q" end)
if(end LESS 0)
  fail("no \"q\" ends it")
endif()
string(SUBSTRING "${content}" 0 ${end} content)
if(NOT content MATCHES "\n[ \t]*$")
  fail("the \"q\" does not begin a line")
endif()

# Characters that CMake lists treat specially are neither hex digits nor white space, so they
# may become any other such character without changing what the file says.
foreach(special ";" "[" "]" "\\")
  string(REPLACE "${special}" "_" content "${content}")
endforeach()
# Line by line as the loader reads it: address lines, hex pairs separated by blanks, nothing
# else.
string(REPLACE "\r\n" "\n" checked "${content}")
string(REPLACE "\n" ";" checked "${checked}")
set(lineNumber 0)
foreach(line IN LISTS checked)
  math(EXPR lineNumber "${lineNumber} + 1")
  if(NOT line MATCHES "^[ \t]*$" AND NOT line MATCHES "^[ \t]*@[ \t]*[0-9A-Fa-f]+[ \t]*$" AND
     NOT line MATCHES "^[ \t]*[0-9A-Fa-f][0-9A-Fa-f]([ \t]+[0-9A-Fa-f][0-9A-Fa-f])*[ \t]*$")
    fail("line ${lineNumber} is neither an address line nor hex pairs")
  endif()
endforeach()
string(REPLACE "@" ";" segments "${content}")
list(LENGTH segments count)

string(ASCII 11 12 blanks)  # vertical tab and form feed: white space to "@%x" as well
set(text "")
set(sawVectors FALSE)
set(ranges "")
foreach(i RANGE 0 15)
  set(vector${i} "FFFF")
endforeach()

math(EXPR last "${count} - 1")
foreach(index RANGE 1 ${last})
  list(GET segments ${index} segment)

  # The address as "@%x" reads it: white space, a sign, an optional 0x, then hex digits.
  if(NOT segment MATCHES "^[ \t\r\n${blanks}]*([+-]?)(0[xX])?([0-9A-Fa-f]+)")
    string(SUBSTRING "${segment}" 0 20 shown)
    fail("no address after \"@\" (at \"@${shown}\")")
  endif()
  set(sign "${CMAKE_MATCH_1}")
  set(written "${CMAKE_MATCH_3}")
  string(REGEX REPLACE "^0+" "" digits "${written}")
  string(LENGTH "${digits}" n)
  if(n GREATER 5 OR (sign STREQUAL "-" AND n GREATER 0))
    fail("address @${sign}${written} is beyond 0xFFFFF")
  endif()
  if(n EQUAL 0)
    set(digits 0)
  endif()
  math(EXPR address "0x${digits}")
  math(EXPR odd "${address} % 2")
  if(odd)
    fail("the segment @${written} starts at an odd address")
  endif()
  to_hex(${address} 5 address5)

  string(FIND "${segment}" "\n" lf)
  if(lf LESS 0)
    fail("the address line @${address5} has no line end")
  endif()
  math(EXPR lf "${lf} + 1")
  string(SUBSTRING "${segment}" ${lf} -1 data)
  string(REGEX REPLACE "[^0-9A-Fa-f]" "" data "${data}")
  string(LENGTH "${data}" n)

  # No byte may be given twice: a later segment over an earlier one would win silently.
  if(n GREATER 0)
    math(EXPR past "${address} + ${n} / 2")
    foreach(range IN LISTS ranges)
      string(REPLACE ":" ";" range "${range}")
      list(GET range 0 otherStart)
      list(GET range 1 otherPast)
      if(address LESS otherPast AND otherStart LESS past)
        to_hex(${otherStart} 5 other5)
        fail("the segment @${address5} overlaps the segment @${other5}")
      endif()
    endforeach()
    list(APPEND ranges "${address}:${past}")
  endif()

  if(address GREATER_EQUAL 65504 AND address LESS_EQUAL 65534)  # 0xFFE0 to 0xFFFE
    set(sawVectors TRUE)
    math(EXPR rest "${n} % 4")
    if(NOT rest EQUAL 0)
      fail("the vector segment @${address5} ends with an incomplete word")
    endif()
    math(EXPR entry "(${address} - 65504) / 2")
    math(EXPR words "${n} / 4")
    math(EXPR past "${entry} + ${words}")
    if(past GREATER 16)
      fail("the vector segment @${address5} runs past the reset vector")
    endif()
    if(n GREATER 0)
      math(EXPR lastWord "${n} - 4")
      foreach(at RANGE 0 ${lastWord} 4)
        string(SUBSTRING "${data}" ${at} 2 low)
        math(EXPR at2 "${at} + 2")
        string(SUBSTRING "${data}" ${at2} 2 high)
        string(TOUPPER "${high}${low}" word)
        set(vector${entry} "${word}")
        math(EXPR entry "${entry} + 1")
      endforeach()
    endif()
  elseif(address GREATER_EQUAL 64000 AND address LESS_EQUAL 65535)
    # The loader's own area: never written with image data.
  else()
    math(EXPR rest "${n} % 4")
    if(rest EQUAL 1)
      string(APPEND data "FFF")
    elseif(rest EQUAL 2)
      string(APPEND data "FF")
    elseif(rest EQUAL 3)
      string(APPEND data "F")
    endif()
    string(TOUPPER "${data}" data)
    string(REGEX REPLACE "(..)(..)" "\\2\\1" data "${data}")
    string(APPEND text "@${address5}${data}")
  endif()
endforeach()

if(NOT sawVectors)
  fail("it has no vector segment (@FFE0 to @FFFE)")
endif()

# The name as an opened file gets it: after the last path separator, at most 64 characters,
# cut at ".txt", and a last "-" between two digits shown as ".".
if("${QUENDAL_NAME}" STREQUAL "")
  string(REGEX REPLACE "^.*[/\\\\]" "" name "${QUENDAL_INPUT}")
  string(SUBSTRING "${name}" 0 64 name)
  string(FIND "${name}" ".txt" cut)
  if(cut GREATER_EQUAL 0)
    string(SUBSTRING "${name}" 0 ${cut} name)
  endif()
  string(FIND "${name}" "-" dash REVERSE)
  string(LENGTH "${name}" n)
  math(EXPR after "${dash} + 1")
  if(dash GREATER 0 AND after LESS n)
    math(EXPR before "${dash} - 1")
    string(SUBSTRING "${name}" ${before} 1 a)
    string(SUBSTRING "${name}" ${after} 1 b)
    if(a MATCHES "^[0-9]$" AND b MATCHES "^[0-9]$")
      string(SUBSTRING "${name}" 0 ${dash} head)
      string(SUBSTRING "${name}" ${after} -1 tail)
      set(name "${head}.${tail}")
    endif()
  endif()
else()
  string(SUBSTRING "${QUENDAL_NAME}" 0 64 name)
endif()
string(REPLACE "\\" "\\\\" name "${name}")
string(REPLACE "\"" "\\\"" name "${name}")

# Length and sum: the text holds only "@" and hex digits, so counting each is enough.
string(LENGTH "${text}" length)
set(sum 0)
set(codes "@=64" "0=48" "1=49" "2=50" "3=51" "4=52" "5=53" "6=54" "7=55" "8=56" "9=57"
          "A=65" "B=66" "C=67" "D=68" "E=69" "F=70" "a=97" "b=98" "c=99" "d=100" "e=101" "f=102")
foreach(pair IN LISTS codes)
  string(SUBSTRING "${pair}" 0 1 c)
  string(SUBSTRING "${pair}" 2 -1 code)
  string(REPLACE "${c}" "" rest "${text}")
  string(LENGTH "${rest}" left)
  math(EXPR sum "${sum} + (${length} - ${left}) * ${code}")
endforeach()

set(vectors "0x${vector0}")
foreach(i RANGE 1 15)
  if(i EQUAL 8)
    string(APPEND vectors ",\n     ")
  else()
    string(APPEND vectors ", ")
  endif()
  string(APPEND vectors "0x${vector${i}}")
endforeach()

string(REPEAT "." 96 line)
string(REGEX REPLACE "(${line})" "\\1\"\n    \"" literal "${text}")

file(WRITE "${QUENDAL_OUTPUT}" "// Generated at build time from ${QUENDAL_INPUT}; do not edit.
#include \"loader/builtin_image.h\"

namespace quendal {
namespace {

const char kText[] =
    \"${literal}\";

}  // namespace

const BuiltinImage kBuiltinImage = {
    \"${name}\",
    {${vectors}},
    kText,
    ${length}u,
    ${sum},
};

}  // namespace quendal
")
