# The fault suite: misbehaving servers and failing file systems under the login, the watcher and
# the update check, and the program killed while it writes. Runs alone with `ctest -L faults`.
# Failing file systems through the file-size limit, which only Unix has.
if(NOT WIN32)
    rostrel_add_test(test_faults_network SOURCES test_faults_network.cpp support/faultworld.h
        LIBS rostrel_upload rostrel_addon rostrel_settings rostrel_platform rostrel_guildsite rostrel_testsupport LABELS faults)
    rostrel_add_test(test_faults_files SOURCES test_faults_files.cpp support/faultworld.h
        LIBS rostrel_upload rostrel_addon rostrel_settings rostrel_platform rostrel_guildsite LABELS faults)
endif()
# Kills the built program while it writes; looks at it through /proc, so Linux only.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    rostrel_add_test(test_crashsafety SOURCES test_crashsafety.cpp support/crashworld.h support/slowfilehost.cpp
        support/slowfilehost.h
        LIBS rostrel_guildsite LABELS faults TIMEOUT 180)
    add_dependencies(test_crashsafety RostrelUploader)
endif()
