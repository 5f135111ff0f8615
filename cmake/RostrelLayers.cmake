# The layers, enforced. A library may use only what it links (target_link_libraries), and two
# checks keep it so:
#  - layercheck_<lib> links every object of <lib> (whole archive) with nothing but what <lib>
#    links, so a call into a library above it leaves an undefined symbol: the build fails;
#  - the test "layers" (cmake/CheckLayers.cmake) fails when a library's sources include one of our
#    headers that belongs to no library it reaches through its links, which catches inline code
#    and types the linker never sees.

set_property(GLOBAL PROPERTY ROSTREL_LAYERED_LIBRARIES "")
set(_rostrel_layercheck_main ${CMAKE_BINARY_DIR}/layercheck_main.cpp)
file(WRITE ${_rostrel_layercheck_main} "int main() { return 0; }\n")

# rostrel_layered_library(<target>): called after add_library of every library under src/.
function(rostrel_layered_library name)
    set_property(GLOBAL APPEND PROPERTY ROSTREL_LAYERED_LIBRARIES ${name})
    # Windows' static Qt wants its plugins and the whole runtime at link time; the Linux build
    # checks the layers, and the Windows-only sources only call the Windows API.
    if(WIN32)
        return()
    endif()
    add_executable(layercheck_${name} ${_rostrel_layercheck_main})
    target_link_libraries(layercheck_${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${name}>")
    set_target_properties(layercheck_${name} PROPERTIES AUTOMOC OFF RUNTIME_OUTPUT_DIRECTORY
        ${CMAKE_BINARY_DIR}/layercheck)
endfunction()

# Writes, for the include check, each library's folder, the libraries it links directly and its
# sources.
function(rostrel_write_layer_manifest)
    get_property(libraries GLOBAL PROPERTY ROSTREL_LAYERED_LIBRARIES)
    set(content "")
    foreach(name IN LISTS libraries)
        get_target_property(folder ${name} SOURCE_DIR)
        get_target_property(links ${name} LINK_LIBRARIES)
        get_target_property(interface ${name} INTERFACE_LINK_LIBRARIES)
        set(deps "")
        foreach(dep IN LISTS links interface)
            if(dep IN_LIST libraries)
                list(APPEND deps ${dep})
            endif()
        endforeach()
        list(REMOVE_DUPLICATES deps)
        get_target_property(sources ${name} SOURCES)
        list(FILTER sources INCLUDE REGEX "\\.(h|cpp)$")
        string(REPLACE ";" "," deps "${deps}")
        string(REPLACE ";" "," sources "${sources}")
        string(APPEND content "${name}|${folder}|${deps}|${sources}\n")
    endforeach()
    file(WRITE ${CMAKE_BINARY_DIR}/layers.txt "${content}")
endfunction()
