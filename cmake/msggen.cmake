# msggen.cmake: turns the message source (src/core/msg/dxqor.msgsrc) into
# the library's built-in message tables (a C++ source) and into XPG4 message
# catalogues made with gencat, one per catalogue file name, copied into every
# locale directory of the message directory. Run by the build:
#   cmake -DMSG_SOURCE=<file> -DTABLES=<generated .cpp> -DWORK_DIR=<dir>
#         -DCATALOGUE_DIR=<message directory> -DLOCALES=<a,b,...>
#         -DGENCAT=<gencat> -P msggen.cmake
#
# Message ids: technology in the top 4 bits, component in the next 16 (three
# characters in base 40, first character most significant), message number
# in the low 12. Catalogue file names and message numbers follow
# dx_msg_catalogue_name and dx_msg_catalogue_number (core/msg/qormsgid.h),
# which read the catalogues back; every message goes into gencat set 1.

cmake_minimum_required(VERSION 3.20)

foreach(v MSG_SOURCE TABLES WORK_DIR CATALOGUE_DIR LOCALES GENCAT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "msggen.cmake: ${v} is not set")
  endif()
endforeach()

set(BASE40 "abcdefghijklmnopqrstuvwxyz0123456789_-+@")
# Technology names by number; technologies 4 and 5 have catalogue names of
# their own ("dce" and six hex digits), the others none.
set(TECHNOLOGY_1 "dce")
set(TECHNOLOGY_3 "dx")

# Characters that would upset CMake's list handling travel as control
# characters until a line is written out.
string(ASCII 1 SEMICOLON)
string(ASCII 2 LBRACKET)
string(ASCII 3 RBRACKET)
string(ASCII 4 BACKSLASH)

function(hex8 value out)
  math(EXPR v "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${v}" 2 -1 digits)
  string(LENGTH "${digits}" n)
  while(n LESS 8)
    string(PREPEND digits "0")
    math(EXPR n "${n} + 1")
  endwhile()
  set(${out} "0x${digits}" PARENT_SCOPE)
endfunction()

# Sets <out>_NAME to the catalogue file name and <out>_NUMBER to the gencat
# message number of id; a number 0 is stored as one past the number field's
# largest value, since gencat numbers start at 1.
function(catalogue_of id out)
  math(EXPR technology "(${id} >> 28) & 15")
  if(technology EQUAL 4 OR technology EQUAL 5)
    math(EXPR family "${id} >> 14")
    hex8(${family} h)
    string(SUBSTRING "${h}" 4 6 six)
    set(name "dce${six}.cat")
    math(EXPR number "${id} & 16383")
    if(number EQUAL 0)
      set(number 16384)
    endif()
  else()
    if(NOT DEFINED TECHNOLOGY_${technology})
      hex8(${id} h)
      message(FATAL_ERROR "msggen.cmake: ${h}: technology ${technology} has no name")
    endif()
    math(EXPR component "(${id} >> 12) & 65535")
    if(component GREATER_EQUAL 64000)
      hex8(${id} h)
      message(FATAL_ERROR "msggen.cmake: ${h}: component is not three characters")
    endif()
    math(EXPR c1 "${component} / 1600")
    math(EXPR c2 "(${component} / 40) % 40")
    math(EXPR c3 "${component} % 40")
    string(SUBSTRING "${BASE40}" ${c1} 1 a)
    string(SUBSTRING "${BASE40}" ${c2} 1 b)
    string(SUBSTRING "${BASE40}" ${c3} 1 c)
    set(name "${TECHNOLOGY_${technology}}${a}${b}${c}.cat")
    math(EXPR number "${id} & 4095")
    if(number EQUAL 0)
      set(number 4096)
    endif()
  endif()
  set(${out}_NAME "${name}" PARENT_SCOPE)
  set(${out}_NUMBER "${number}" PARENT_SCOPE)
endfunction()

file(READ "${MSG_SOURCE}" content)
string(REPLACE "\r" "" content "${content}")
string(REPLACE "\\" "${BACKSLASH}" content "${content}")
string(REPLACE ";" "${SEMICOLON}" content "${content}")
string(REPLACE "[" "${LBRACKET}" content "${content}")
string(REPLACE "]" "${RBRACKET}" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

# Entries as "<8-digit id> <text>", which sort by id as strings.
set(entries "")
set(lineno 0)
foreach(line IN LISTS lines)
  math(EXPR lineno "${lineno} + 1")
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^(0[xX][0-9a-fA-F]+) (.+)$")
    message(FATAL_ERROR "${MSG_SOURCE}:${lineno}: expected \"<hex id> <text>\"")
  endif()
  set(text "${CMAKE_MATCH_2}")
  hex8(${CMAKE_MATCH_1} id)
  string(LENGTH "${id}" idlen)
  if(NOT idlen EQUAL 10)
    message(FATAL_ERROR "${MSG_SOURCE}:${lineno}: id wider than 32 bits")
  endif()
  if(text MATCHES "^XLT(IC|CO)")
    if(NOT text MATCHES "^XLT(IC|CO)([0-9][0-9][0-9][0-9])[EWI]   [^ ]")
      message(FATAL_ERROR "${MSG_SOURCE}:${lineno}: expected XLTxxNNNNS and three blanks")
    endif()
    if(CMAKE_MATCH_1 STREQUAL "IC")
      set(base 0x35f02000)
    else()
      set(base 0x35e1e000)
    endif()
    math(EXPR expected "${base} + 1${CMAKE_MATCH_2} - 10000")
    hex8(${expected} expected)
    if(NOT expected STREQUAL id)
      message(FATAL_ERROR "${MSG_SOURCE}:${lineno}: ${id} should be ${expected}")
    endif()
  endif()
  list(APPEND entries "${id} ${text}")
endforeach()
list(SORT entries)

# The C++ tables: the product's ids (component "pic"), the configuration
# tools' ("pco"), and the serviceability layer's own statuses.
set(pic "")
set(pco "")
set(svc "")
set(previous "")
set(catalogues "")
foreach(entry IN LISTS entries)
  string(SUBSTRING "${entry}" 0 10 id)
  string(SUBSTRING "${entry}" 11 -1 text)
  if(id STREQUAL previous)
    message(FATAL_ERROR "${MSG_SOURCE}: id ${id} appears twice")
  endif()
  set(previous "${id}")

  string(REPLACE "${BACKSLASH}" "\\\\" ctext "${text}")
  string(REPLACE "\"" "\\\"" ctext "${ctext}")
  string(REPLACE "${SEMICOLON}" ";" ctext "${ctext}")
  string(REPLACE "${LBRACKET}" "[" ctext "${ctext}")
  string(REPLACE "${RBRACKET}" "]" ctext "${ctext}")
  set(row "    {${id}u, \"${ctext}\"},\n")
  math(EXPR prefix "${id} >> 12")
  if(prefix EQUAL 0x35f02)
    string(APPEND pic "${row}")
  elseif(prefix EQUAL 0x35e1e)
    string(APPEND pco "${row}")
  elseif(prefix EQUAL 0x10652)
    string(APPEND svc "${row}")
  else()
    message(FATAL_ERROR "${MSG_SOURCE}: ${id} belongs to no table")
  endif()

  catalogue_of(${id} cat)
  string(REPLACE "." "_" key "${cat_NAME}")
  if(NOT DEFINED GENCAT_${key})
    list(APPEND catalogues "${cat_NAME}")
    set(GENCAT_${key} "$set 1\n")
  endif()
  string(REPLACE "${BACKSLASH}" "\\\\" gtext "${text}")
  string(REPLACE "${SEMICOLON}" ";" gtext "${gtext}")
  string(REPLACE "${LBRACKET}" "[" gtext "${gtext}")
  string(REPLACE "${RBRACKET}" "]" gtext "${gtext}")
  string(APPEND GENCAT_${key} "${cat_NUMBER} ${gtext}\n")
endforeach()

set(cpp "// Generated by cmake/msggen.cmake from src/core/msg/dxqor.msgsrc.\n")
string(APPEND cpp "#include \"core/msg/qormsg.h\"\n\nextern \"C\" {\n\n")
foreach(t pic pco svc)
  string(APPEND cpp "const dx_msg_table_t qor_${t}_msg_table[] = {\n${${t}}};\n")
  string(APPEND cpp "const int qor_${t}_msg_count =\n")
  string(APPEND cpp "    (int)(sizeof(qor_${t}_msg_table) / sizeof(qor_${t}_msg_table[0]));\n\n")
endforeach()
string(APPEND cpp "}\n")
file(WRITE "${TABLES}" "${cpp}")

# Catalogues. gencat merges into an existing output file, so each is made
# afresh; the message directory is rebuilt so that no stale catalogue stays.
string(REPLACE "," ";" locales "${LOCALES}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(REMOVE_RECURSE "${CATALOGUE_DIR}")
foreach(cat IN LISTS catalogues)
  string(REPLACE "." "_" key "${cat}")
  file(WRITE "${WORK_DIR}/${cat}.msg" "${GENCAT_${key}}")
  file(REMOVE "${WORK_DIR}/${cat}")
  execute_process(
    COMMAND "${GENCAT}" "${WORK_DIR}/${cat}" "${WORK_DIR}/${cat}.msg"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msggen.cmake: gencat failed for ${cat}: ${rc}")
  endif()
  foreach(locale IN LISTS locales)
    file(COPY "${WORK_DIR}/${cat}" DESTINATION "${CATALOGUE_DIR}/${locale}")
  endforeach()
endforeach()
