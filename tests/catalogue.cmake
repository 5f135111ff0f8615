# Game folders, discovery, the character list and profile reading.
foreach(name test_gamefolders test_discovery test_discovery_watch test_characterlist test_profiles)
    rostrel_add_test(${name} SOURCES ${name}.cpp fakes.h LIBS rostrel_catalogue LABELS catalogue)
endforeach()
