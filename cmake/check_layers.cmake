# The include rule of src/ (docs/architecture.md, "Layers"): a file includes headers of its own
# folder and of the folders its row below names, nothing else. Run by ctest as IncludeLayers:
#   cmake -DKX_SOURCE_DIR=<repository> -P cmake/check_layers.cmake
# Lists every include that breaks the rule and fails when there is one, or when a folder of src/
# with C++ files has no row (a new folder gets its place in the layers before it gets code).
# Folders without C++ (the browser client in src/web) are not part of these layers.
cmake_minimum_required(VERSION 3.20)
set(codec framework net protocol fs)
set(subsystems accounts admin files news)
set(allowed_framework "")
set(allowed_net framework)
set(allowed_protocol framework net)
set(allowed_fs framework net protocol)
set(allowed_accounts ${codec})
set(allowed_admin ${codec})
set(allowed_files ${codec})
set(allowed_news ${codec})
set(allowed_server ${codec} ${subsystems})
set(allowed_console ${codec} ${subsystems} server)
set(allowed_client ${codec})

if(NOT KX_SOURCE_DIR)
  message(FATAL_ERROR "check_layers: pass -DKX_SOURCE_DIR=<repository>")
endif()
set(src ${KX_SOURCE_DIR}/src)
set(broken "")

file(GLOB folders LIST_DIRECTORIES true RELATIVE ${src} ${src}/*)
foreach(folder ${folders})
  file(GLOB_RECURSE code ${src}/${folder}/*.h ${src}/${folder}/*.cpp)
  if(IS_DIRECTORY ${src}/${folder} AND code AND NOT DEFINED allowed_${folder})
    string(APPEND broken "\n  src/${folder}/ has no row in cmake/check_layers.cmake")
  endif()
endforeach()

file(GLOB_RECURSE files RELATIVE ${src} ${src}/*.h ${src}/*.cpp)
foreach(file ${files})
  string(REGEX MATCH "^[^/]+" folder ${file})
  file(STRINGS ${src}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${includes})
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" target "${line}")
    if(NOT target MATCHES "^([a-z_]+)/")
      string(APPEND broken "\n  src/${file}: #include \"${target}\" names no folder")
      continue()
    endif()
    set(to ${CMAKE_MATCH_1})
    if(to STREQUAL folder OR to IN_LIST allowed_${folder})
      continue()
    endif()
    # The request handlers and passes of a subsystem are members of the application, defined
    # beside the subsystem they serve: their sources (never a header) include its declaration,
    # and only sources that define such members.
    if(folder IN_LIST subsystems AND file MATCHES "\\.cpp$" AND target STREQUAL "server/application.h")
      file(STRINGS ${src}/${file} members REGEX "CMyApplication::[A-Za-z_]+\\(")
      if(members)
        continue()
      endif()
      string(APPEND broken "\n  src/${file}: includes \"server/application.h\" but defines no member of CMyApplication")
      continue()
    endif()
    # The server program's entry sits on top of everything it links.
    if(file STREQUAL "server/main.cpp" AND to STREQUAL "console")
      continue()
    endif()
    string(REPLACE ";" " " may "${allowed_${folder}}")
    string(APPEND broken "\n  src/${file}: #include \"${target}\" (${folder} may include: ${may})")
  endforeach()
endforeach()

# Nothing below the server reaches the application object through the global.
foreach(file ${files})
  string(REGEX MATCH "^[^/]+" folder ${file})
  if(folder IN_LIST codec OR folder IN_LIST subsystems OR folder STREQUAL "client")
    file(STRINGS ${src}/${file} uses REGEX "[^A-Za-z_]gApp[^A-Za-z_]")
    if(uses)
      string(APPEND broken "\n  src/${file}: uses gApp (below the server, the application is passed in)")
    endif()
  endif()
endforeach()

if(broken)
  message(FATAL_ERROR "Includes that break the layers of docs/architecture.md:${broken}")
endif()
message(STATUS "check_layers: every include of src/ follows the layers")
