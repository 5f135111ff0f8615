# Game folders, discovery, the character list and profile reading.
foreach(name test_gamefolders test_characterlist test_profiles)
    rostrel_add_test(${name} SOURCES ${name}.cpp fakes.h LIBS rostrel_catalogue rostrel_platform LABELS catalogue)
endforeach()
# Make links, unreadable folders and inotify overflows the Unix way.
if(NOT WIN32)
    foreach(name test_discovery test_discovery_watch)
        rostrel_add_test(${name} SOURCES ${name}.cpp fakes.h LIBS rostrel_catalogue rostrel_platform LABELS catalogue)
    endforeach()
endif()
