if(TARGET rostrel_guildsite)
    rostrel_add_test(test_upload SOURCES test_upload.cpp uploadworld.h
        LIBS rostrel_upload rostrel_guildsite rostrel_testsupport LABELS upload)
    rostrel_add_test(test_watcher SOURCES test_watcher.cpp uploadworld.h
        LIBS rostrel_upload rostrel_guildsite rostrel_testsupport LABELS upload)
endif()
