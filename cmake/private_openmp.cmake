# The native modules' own copy of the OpenMP runtime, run as `cmake -P` at build time.
#
# MODE=runtime: copies the toolchain's libgomp (SOURCE) to COPY under the
#   soname SONAME, with every symbol it exports renamed to PREFIX + name, and
#   writes the renaming (old name, new name, one pair a line) to MAP.
# MODE=module: points a built module (MODULE) at that copy: its need of the
#   toolchain's runtime (SOURCE's soname) becomes a need of SONAME and its references to the
#   runtime's symbols take the new names. Fails when anything still names the
#   shared runtime, so that a module never silently runs on another copy.
#
# Renamed, the copy's symbols cannot be bound to any other copy loaded into
# the process (PyTorch loads its own into the global scope), nor another
# library's references to ours; it reads its settings when it is loaded.
cmake_minimum_required(VERSION 3.26)

foreach(var MODE SOURCE NM PATCHELF SONAME MAP)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "private_openmp.cmake: ${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(failed)
    list(JOIN ARGV " " shown)
    message(FATAL_ERROR "`${shown}` failed (${failed}):\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# The names in the dynamic symbol table of FILE, without their version, that
# nm lists with OPTION (--defined-only or --undefined-only). Version nodes
# (type A) are not symbols and keep their names.
function(dynamic_names file option result)
  run("${NM}" -D ${option} "${file}")
  string(REGEX REPLACE "\n" ";" lines "${out}")
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F ]* ([A-Za-z]) ([^@ ]+)")
      if(NOT CMAKE_MATCH_1 STREQUAL "A")
        list(APPEND names "${CMAKE_MATCH_2}")
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${result} "${names}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "runtime")
  dynamic_names("${SOURCE}" --defined-only names)
  if(NOT names)
    message(FATAL_ERROR "${SOURCE} exports no symbols: not an OpenMP runtime")
  endif()
  set(map "")
  foreach(name IN LISTS names)
    string(APPEND map "${name} ${PREFIX}${name}\n")
  endforeach()
  # Written under temporary names and moved in place at the end, so that an
  # interrupted build leaves no half-patched copy behind that looks finished.
  file(WRITE "${MAP}.tmp" "${map}")
  file(COPY_FILE "${SOURCE}" "${COPY}.tmp")
  run("${PATCHELF}" --set-soname "${SONAME}" --rename-dynamic-symbols "${MAP}.tmp" "${COPY}.tmp")
  file(RENAME "${COPY}.tmp" "${COPY}")
  file(RENAME "${MAP}.tmp" "${MAP}")
elseif(MODE STREQUAL "module")
  run("${PATCHELF}" --print-soname "${SOURCE}")
  string(STRIP "${out}" shared)
  run("${PATCHELF}" --replace-needed "${shared}" "${SONAME}" --rename-dynamic-symbols "${MAP}" "${MODULE}")
  run("${PATCHELF}" --print-needed "${MODULE}")
  string(REGEX REPLACE "\n" ";" needed "${out}")
  if(shared IN_LIST needed OR NOT SONAME IN_LIST needed)
    message(FATAL_ERROR "${MODULE} needs ${needed}: it should need ${SONAME} and not ${shared}")
  endif()
  file(STRINGS "${MAP}" pairs)
  set(runtime_names)
  foreach(pair IN LISTS pairs)
    string(REGEX REPLACE " .*" "" name "${pair}")
    list(APPEND runtime_names "${name}")
  endforeach()
  dynamic_names("${MODULE}" --undefined-only wanted)
  foreach(name IN LISTS wanted)
    if(name IN_LIST runtime_names)
      message(FATAL_ERROR "${MODULE} still refers to the shared runtime's `${name}`")
    endif()
  endforeach()
else()
  message(FATAL_ERROR "private_openmp.cmake: unknown MODE ${MODE}")
endif()
