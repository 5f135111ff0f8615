rostrel_add_test(test_addon_files SOURCES test_addon_files.cpp fakes.h
    LIBS rostrel_addon LABELS addon)
target_compile_definitions(test_addon_files PRIVATE ROSTREL_DEFAULT_FILE_HOST="${ROSTREL_FILE_HOST}")
if(TARGET rostrel_guildsite)
    rostrel_add_test(test_addon_update SOURCES test_addon_update.cpp fakes.h
        LIBS rostrel_addon rostrel_guildsite rostrel_testsupport LABELS addon)
endif()
