# What ships is built from the product's folders, never from the test tree.
# A shipped program that depends on its tests takes whatever is added to them
# into the release, unseen.

# pcx_names_folder(PROPERTY VALUE BASE FOLDER PATTERN OUT): OUT is true when
# VALUE, one entry of a target's PROPERTY, lies in FOLDER. A source or an
# include folder is a path, resolved against BASE (the target's own folder)
# and normalised, so that "../tests/x.cpp" is caught. Anything else (an
# option, a library that is no target of ours, a generator expression) is
# searched for FOLDER's text: PATTERN, the same as a regular expression. A
# bare library name such as "dl" names no folder.
function(pcx_names_folder property value base folder pattern out)
  if(property MATCHES "SOURCES$|INCLUDE_DIRECTORIES$" AND NOT value MATCHES "\\$<")
    cmake_path(ABSOLUTE_PATH value BASE_DIRECTORY "${base}" NORMALIZE OUTPUT_VARIABLE path)
    cmake_path(IS_PREFIX folder "${path}" NORMALIZE inside)
  elseif(value MATCHES "${pattern}(/|>|$)")
    set(inside TRUE)
  else()
    set(inside FALSE)
  endif()
  set(${out} ${inside} PARENT_SCOPE)
endfunction()

# Inside pcx_check_shipped_sources: queues a target that the current one is
# made of, remembering the first road to it for the message.
macro(pcx_follow_target next)
  list(APPEND queue ${next})
  if(NOT DEFINED route_${next})
    set(route_${next} "${route_${target}} -> ${next}")
  endif()
endmacro()

# pcx_check_shipped_sources(FORBIDDEN FOLDER TARGETS TARGET...)
#
# Stops the configuration when a shipped program is built from FOLDER: when
# it, or any target it is made of, compiles a file under FOLDER, has FOLDER
# or a folder inside it on its include path, or names it in its compile
# options or libraries. "Made of" follows the targets whose objects it takes
# ($<TARGET_OBJECTS:...>) and the libraries it links, with theirs in turn.
# Imported targets come from outside the tree and are not followed.
function(pcx_check_shipped_sources)
  cmake_parse_arguments(ARG "" "FORBIDDEN" "TARGETS" ${ARGN})
  cmake_path(SET forbidden NORMALIZE "${ARG_FORBIDDEN}")
  string(REGEX REPLACE "([][+.*()^$?|\\\\{}])" "\\\\\\1" pattern "${forbidden}")

  set(violations)
  set(seen)
  set(queue ${ARG_TARGETS})
  foreach(target IN LISTS ARG_TARGETS)
    set(route_${target} ${target})
  endforeach()
  while(queue)
    list(POP_FRONT queue target)
    # An alias reads the properties of the target it names: visit that once.
    get_target_property(aliased ${target} ALIASED_TARGET)
    if(aliased)
      set(route_${aliased} "${route_${target}}")
      set(target ${aliased})
    endif()
    get_target_property(imported ${target} IMPORTED)
    if(target IN_LIST seen OR imported)
      continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(folder ${target} SOURCE_DIR)

    foreach(property SOURCES INTERFACE_SOURCES INCLUDE_DIRECTORIES
                     INTERFACE_INCLUDE_DIRECTORIES COMPILE_OPTIONS INTERFACE_COMPILE_OPTIONS
                     LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(values ${target} ${property})
      if(NOT values)
        continue()
      endif()
      foreach(value IN LISTS values)
        # Another target it is made of is checked in turn.
        set(next "")
        if(value MATCHES "^\\$<(TARGET_OBJECTS|LINK_ONLY):([^>]+)>$")
          set(next ${CMAKE_MATCH_2})
        elseif(property MATCHES "LINK_LIBRARIES$")
          set(next ${value})
        endif()
        if(TARGET "${next}")
          pcx_follow_target(${next})
          continue()
        endif()
        pcx_names_folder(${property} "${value}" "${folder}" "${forbidden}" "${pattern}" inside)
        if(inside)
          list(APPEND violations "  ${route_${target}}: ${property} ${value}")
        endif()
      endforeach()
    endforeach()
  endwhile()

  if(violations)
    list(JOIN violations "\n" listed)
    message(FATAL_ERROR "A shipped program is built from ${forbidden}, the test tree:\n"
                        "${listed}\n"
                        "Code that a shipped program and the tests share belongs in a folder "
                        "of the product (the host side of the protocol: hostside/).")
  endif()
endfunction()
