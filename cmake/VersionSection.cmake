# vigilo_version_section(<target> [VERSION a.b.c.d] DESCRIPTION "..."
#                        [COPYRIGHT "..."] [COMMENTS "..."] [FLAGS DEBUG PRERELEASE])
#
# Gives the executable <target> its version information: the section
# ".vigilo_version" holding the record described in platform/verres.h, with the
# file version (default: the project version, missing numbers 0), the flags,
# the translation US English / code page 1252 (0x0409, 0x04E4) and one string
# table under that key with FileDescription, LegalCopyright and Comments.
# The record is generated into a C file of the build folder and compiled into
# the target itself, so it never depends on an archive member being pulled in.

set(VIGILO_VERSION_LANGUAGE 0x0409)
set(VIGILO_VERSION_CODEPAGE 0x04E4)

# Appends the `bytes` little-endian bytes of `value` to the list `out`.
function(_vigilo_record_number out value bytes)
  set(list ${${out}})
  foreach(i RANGE 1 ${bytes})
    math(EXPR byte "${value} & 255")
    math(EXPR value "${value} >> 8")
    list(APPEND list ${byte})
  endforeach()
  set(${out} ${list} PARENT_SCOPE)
endfunction()

# Appends the UTF-8 bytes of `text` to the list `out` and sets `length` to their count.
function(_vigilo_record_text out length text)
  string(HEX "${text}" hex)
  string(LENGTH "${hex}" digits)
  math(EXPR count "${digits} / 2")
  set(list ${${out}})
  if(count GREATER 0)
    string(REGEX REPLACE "(..)" "0x\\1;" hex_bytes "${hex}")
    list(APPEND list ${hex_bytes})
  endif()
  set(${out} ${list} PARENT_SCOPE)
  set(${length} ${count} PARENT_SCOPE)
endfunction()

# Four hexadecimal digits in capitals.
function(_vigilo_hex4 out value)
  math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex}" 2 -1 digits)
  string(TOUPPER "${digits}" digits)
  string(LENGTH "${digits}" n)
  while(n LESS 4)
    string(PREPEND digits "0")
    math(EXPR n "${n} + 1")
  endwhile()
  set(${out} ${digits} PARENT_SCOPE)
endfunction()

function(vigilo_version_section target)
  # PARSE_ARGV keeps semicolons inside the texts.
  cmake_parse_arguments(PARSE_ARGV 1 V "" "VERSION;DESCRIPTION;COPYRIGHT;COMMENTS" "FLAGS")
  if(V_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vigilo_version_section: unknown arguments ${V_UNPARSED_ARGUMENTS}")
  endif()
  if("DESCRIPTION" IN_LIST V_KEYWORDS_MISSING_VALUES)
    set(V_DESCRIPTION "")
  elseif(NOT DEFINED V_DESCRIPTION)
    message(FATAL_ERROR "vigilo_version_section(${target}): DESCRIPTION is required")
  endif()
  if(NOT DEFINED V_VERSION)
    set(V_VERSION ${CMAKE_PROJECT_VERSION})
  endif()
  if(NOT V_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "vigilo_version_section(${target}): VERSION must be a.b.c.d, not '${V_VERSION}'")
  endif()
  string(REPLACE "." ";" numbers "${V_VERSION}")
  list(LENGTH numbers n)
  while(n LESS 4)
    list(APPEND numbers 0)
    math(EXPR n "${n} + 1")
  endwhile()
  foreach(number IN LISTS numbers)
    if(number GREATER 65535)
      message(FATAL_ERROR "vigilo_version_section(${target}): ${number} does not fit 16 bits")
    endif()
  endforeach()

  set(flags 0)
  foreach(flag IN LISTS V_FLAGS)
    if(flag STREQUAL "DEBUG")
      math(EXPR flags "${flags} | 1")
    elseif(flag STREQUAL "PRERELEASE")
      math(EXPR flags "${flags} | 2")
    else()
      message(FATAL_ERROR "vigilo_version_section(${target}): unknown flag ${flag}")
    endif()
  endforeach()

  # The string table, in the order a reader finds them.
  set(strings "")
  set(entries 0)
  foreach(pair "FileDescription;V_DESCRIPTION" "LegalCopyright;V_COPYRIGHT" "Comments;V_COMMENTS")
    list(GET pair 0 name)
    list(GET pair 1 var)
    if(NOT DEFINED ${var})
      continue()
    endif()
    set(name_bytes "")
    set(value_bytes "")
    _vigilo_record_text(name_bytes name_length "${name}")
    _vigilo_record_text(value_bytes value_length "${${var}}")
    if(value_length GREATER 65535)
      message(FATAL_ERROR "vigilo_version_section(${target}): ${name} is longer than 65535 bytes")
    endif()
    _vigilo_record_number(strings ${name_length} 2)
    _vigilo_record_number(strings ${value_length} 2)
    list(APPEND strings ${name_bytes} ${value_bytes})
    math(EXPR entries "${entries} + 1")
  endforeach()

  _vigilo_hex4(language_hex ${VIGILO_VERSION_LANGUAGE})
  _vigilo_hex4(codepage_hex ${VIGILO_VERSION_CODEPAGE})
  set(body "")
  _vigilo_record_number(body ${VIGILO_VERSION_LANGUAGE} 2)
  _vigilo_record_number(body ${VIGILO_VERSION_CODEPAGE} 2)
  _vigilo_record_text(body key_length "${language_hex}${codepage_hex}")
  _vigilo_record_number(body ${entries} 2)
  list(APPEND body ${strings})
  list(LENGTH body body_length)
  math(EXPR size "32 + ${body_length}")

  set(record "")
  _vigilo_record_text(record magic_length "VGVR")
  _vigilo_record_number(record 1 2)         # layout
  _vigilo_record_number(record 1 2)         # translations
  _vigilo_record_number(record ${size} 4)
  foreach(number IN LISTS numbers)
    _vigilo_record_number(record ${number} 2)
  endforeach()
  _vigilo_record_number(record ${flags} 4)
  _vigilo_record_number(record 63 4)        # flags mask: the six defined file flags
  _vigilo_record_number(record 1 2)         # string tables
  _vigilo_record_number(record 0 2)
  list(APPEND record ${body})

  list(JOIN record ", " initializer)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_section.c)
  # `used` keeps the compiler from dropping the unreferenced array, `retain`
  # keeps the linker's section garbage collection from dropping its section.
  file(GENERATE OUTPUT ${source} CONTENT
"/* Version information of ${target}, ${V_VERSION} (generated by cmake/VersionSection.cmake). */
#if defined(__has_attribute)
#if __has_attribute(retain)
#define VIGILO_RETAIN __attribute__((retain))
#endif
#endif
#ifndef VIGILO_RETAIN
#define VIGILO_RETAIN
#endif

__attribute__((section(\".vigilo_version\"), used, aligned(4))) VIGILO_RETAIN
static const unsigned char vigilo_version_record[${size}] = {${initializer}};
")
  target_sources(${target} PRIVATE ${source})
  # Sanitizers would pad the array with guard bytes that are not part of the record.
  set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS "-fno-sanitize=all")
endfunction()
