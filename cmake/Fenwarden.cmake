# Helpers shared by the product, the stand-ins and the tests.

# Header-only Debian libraries (nlohmann JSON, {fmt}) live in /usr/include
# beside the native system headers; the Windows build must not see the rest
# of that folder, so it gets a folder of links to just those two.
set(FW_DEPS_INCLUDE ${CMAKE_BINARY_DIR}/deps-include)
file(MAKE_DIRECTORY ${FW_DEPS_INCLUDE})
foreach(lib nlohmann fmt)
  if(NOT EXISTS ${FW_DEPS_INCLUDE}/${lib})
    file(CREATE_LINK /usr/include/${lib} ${FW_DEPS_INCLUDE}/${lib} SYMBOLIC)
  endif()
endforeach()

set(FW_IMGUI_DIR ${CMAKE_SOURCE_DIR}/deps/imgui)

# Usage requirements of the product's objects, for whoever links them.
add_library(fenwarden_obj_deps INTERFACE)
target_include_directories(fenwarden_obj_deps INTERFACE ${CMAKE_SOURCE_DIR})
target_include_directories(fenwarden_obj_deps SYSTEM INTERFACE ${FW_DEPS_INCLUDE})
target_compile_definitions(fenwarden_obj_deps INTERFACE FMT_HEADER_ONLY)
if(FW_WINDOWS)
  target_compile_definitions(fenwarden_obj_deps INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00)
else()
  if(FW_SANITIZE)
    target_compile_options(fenwarden_obj_deps INTERFACE
      -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(fenwarden_obj_deps INTERFACE -fsanitize=address,undefined)
  endif()
endif()

# Product code: warnings are errors.
function(fw_product_target target)
  target_link_libraries(${target} PUBLIC fenwarden_obj_deps)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
endfunction()

# fw_product_sources(PORTABLE <files> WINDOWS <files>)
# PORTABLE files include no Windows header and are built in both builds;
# WINDOWS files only in the Windows build.
function(fw_product_sources)
  cmake_parse_arguments(ARG "" "" "PORTABLE;WINDOWS" ${ARGN})
  target_sources(fenwarden_obj PRIVATE ${ARG_PORTABLE})
  if(FW_WINDOWS)
    target_sources(fenwarden_obj PRIVATE ${ARG_WINDOWS})
  endif()
endfunction()
