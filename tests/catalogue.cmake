# Game folders, discovery, the character list and profile reading.
foreach(name test_gamefolders test_characterlist test_profiles)
    rostrel_add_test(${name} SOURCES ${name}.cpp fakes.h LIBS rostrel_catalogue LABELS catalogue)
endforeach()
# Makes links and unreadable folders the Unix way.
if(NOT WIN32)
    rostrel_add_test(test_discovery SOURCES test_discovery.cpp fakes.h LIBS rostrel_catalogue LABELS catalogue)
endif()
