rostrel_add_test(test_addon_files SOURCES test_addon_files.cpp fakes.h
    LIBS rostrel_addon rostrel_platform LABELS addon)
# Lowers the file-size limit, which only Unix has.
if(NOT WIN32)
    rostrel_add_test(test_addon_update SOURCES test_addon_update.cpp fakes.h
        LIBS rostrel_addon rostrel_platform rostrel_guildsite rostrel_testsupport LABELS addon)
endif()
