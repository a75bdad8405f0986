# Turns the message file event_messages.mc into a C++ header: one constant per SymbolicName and the
# table of ids and texts. With MC_CRLF set, it also writes a copy of the message file with CR LF line
# ends, from which windmc makes message texts that end in CR LF as the event log expects.
#   cmake -DINPUT=event_messages.mc -DOUTPUT=event_messages.h [-DMC_CRLF=copy.mc] -P generate_event_messages.cmake

cmake_minimum_required(VERSION 3.25)

file(READ "${INPUT}" content)
string(REPLACE "\r\n" "\n" content "${content}")

if(MC_CRLF)
  string(REPLACE "\n" "\r\n" crlf "${content}")
  file(WRITE "${MC_CRLF}" "${crlf}")
endif()

# CMake lists split at ';' and bracket pairs, which message lines may hold: park them first.
string(REPLACE ";" "@SEMICOLON@" content "${content}")
string(REPLACE "[" "@LBRACKET@" content "${content}")
string(REPLACE "]" "@RBRACKET@" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

set(constants "")
set(table "")
set(ids "")
set(id -1)
set(symbol "")
set(in_text FALSE)
set(text "")
set(line_number 0)
foreach(line IN LISTS lines)
  math(EXPR line_number "${line_number} + 1")
  string(REPLACE "@SEMICOLON@" ";" line "${line}")
  string(REPLACE "@LBRACKET@" "[" line "${line}")
  string(REPLACE "@RBRACKET@" "]" line "${line}")
  if(in_text)
    if(line STREQUAL ".")
      if(symbol STREQUAL "")
        message(FATAL_ERROR "${INPUT}:${line_number}: message ${id} has no SymbolicName")
      endif()
      string(REPLACE "\\" "\\\\" escaped "${text}")
      string(REPLACE "\"" "\\\"" escaped "${escaped}")
      string(APPEND constants "inline constexpr uint32_t ${symbol} = ${id};\n")
      string(APPEND table "    {${id}, \"${escaped}\"},\n")
      set(in_text FALSE)
      set(symbol "")
      set(text "")
    elseif(text STREQUAL "")
      set(text "${line}")
    else()
      # A text of several lines is one line in the Linux log.
      string(APPEND text " ${line}")
    endif()
  elseif(line MATCHES "^[ \t]*;" OR line MATCHES "^[ \t]*$")
    # comment or blank line
  elseif(line MATCHES "^MessageId=[ \t]*([0-9]+|0[xX][0-9a-fA-F]+)?[ \t]*$")
    if(CMAKE_MATCH_1 STREQUAL "")
      math(EXPR id "${id} + 1")
    else()
      math(EXPR id "${CMAKE_MATCH_1}")
    endif()
    if(id IN_LIST ids)
      message(FATAL_ERROR "${INPUT}:${line_number}: message id ${id} given twice")
    endif()
    list(APPEND ids ${id})
  elseif(line MATCHES "^SymbolicName=[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]*$")
    set(symbol "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Language=")
    set(in_text TRUE)
  elseif(line MATCHES "^(LanguageNames|Severity|Facility|MessageIdTypedef|SeverityNames|FacilityNames|OutputBase)=")
    # header and per-message keywords that do not change the texts
  else()
    message(FATAL_ERROR "${INPUT}:${line_number}: unexpected line: ${line}")
  endif()
endforeach()
if(in_text)
  message(FATAL_ERROR "${INPUT}: the last message has no closing '.' line")
endif()

set(header "// Generated from event_messages.mc by generate_event_messages.cmake; edit the .mc file instead.
#pragma once

#include <cstdint>

#include \"platform/event_log.h\"

${constants}
// The message table's texts, for the event logs that do not read OstrinNT.exe's own table.
inline constexpr ostrin::platform::EventMessage EVENT_MESSAGES[] = {
${table}};
")
file(WRITE "${OUTPUT}" "${header}")
