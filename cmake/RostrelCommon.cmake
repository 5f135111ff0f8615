# Shared build settings: every target links rostrel_common.
add_library(rostrel_common INTERFACE)
target_compile_features(rostrel_common INTERFACE cxx_std_20)
target_compile_definitions(rostrel_common INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_NO_KEYWORDS)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(rostrel_common INTERFACE
        -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wnon-virtual-dtor)
    if(ROSTREL_WERROR)
        target_compile_options(rostrel_common INTERFACE -Werror)
    endif()
    if(ROSTREL_FUZZ)
        # Every library the fuzz targets link is instrumented for coverage and checked by the
        # sanitizers; the targets themselves add libFuzzer's main.
        target_compile_options(rostrel_common INTERFACE -fsanitize=fuzzer-no-link,address,undefined
            -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        target_link_options(rostrel_common INTERFACE -fsanitize=address,undefined)
    elseif(ROSTREL_SANITIZE)
        target_compile_options(rostrel_common INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
            -fno-sanitize-recover=undefined)
        target_link_options(rostrel_common INTERFACE -fsanitize=address,undefined)
    endif()
endif()

# rostrel_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One QtTest executable per unit, run headless.
function(rostrel_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE rostrel_common Qt6::Test ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests
        ${PROJECT_BINARY_DIR}/generated/tests)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        # Under Wine: headless, as on Linux, since focus and exposure without a window manager
        # come late or never; the offscreen platform then takes its fonts from one folder (the
        # host's Liberation fonts, which the scripts install). Wine drops the host's QT_*
        # variables; WINEQT_X reaches the program as QT_X.
        qt_import_plugins(${name} INCLUDE Qt6::QOffscreenIntegrationPlugin)
        set(environment "WINEQT_QPA_PLATFORM=offscreen;WINEQT_QPA_FONTDIR=Z:/usr/share/fonts/truetype/liberation;WINEQT_FORCE_STDERR_LOGGING=1;WINEDEBUG=-all")
    elseif(WIN32)
        set(environment "")
    else()
        set(environment "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=0;ROSTREL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;ROSTREL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}" ENVIRONMENT "${environment}")
endfunction()
