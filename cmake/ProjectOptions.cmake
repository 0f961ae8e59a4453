# Compiler options shared by every target of the project.

# The exact single-precision results the kernels promise depend on no fused multiply-add.
add_compile_options(-ffp-contract=off -fno-fast-math)

set(HDR_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wimplicit-fallthrough -Wvla)
if(HDR_WERROR)
    list(APPEND HDR_WARNINGS -Werror)
endif()

# Every project target calls this; third-party code does not see our warnings.
function(hdr_target_options target)
    target_compile_options(${target} PRIVATE ${HDR_WARNINGS})
endfunction()

if(HDR_SANITIZE)
    add_compile_options(-fsanitize=${HDR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${HDR_SANITIZE})
endif()

# One static library per module. Sources are the module's .cpp files unless listed.
function(hdr_module name)
    cmake_parse_arguments(M "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    if(NOT M_SOURCES)
        file(GLOB M_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    endif()
    add_library(${name} STATIC ${M_SOURCES})
    target_link_libraries(${name} PUBLIC ${M_PUBLIC_LIBS} PRIVATE ${M_PRIVATE_LIBS})
    hdr_target_options(${name})
endfunction()

# libFuzzer needs coverage from the libraries too, not only from the entry points.
if(HDR_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
