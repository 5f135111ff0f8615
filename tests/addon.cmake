rostrel_add_test(test_addon_files SOURCES test_addon_files.cpp fakes.h
    LIBS rostrel_addon rostrel_platform LABELS addon)
# Lowers the file-size limit, which only Unix has.
if(NOT WIN32)
    rostrel_add_test(test_addon_download SOURCES test_addon_download.cpp support/addonworld.h fakes.h
        LIBS rostrel_addon rostrel_platform rostrel_guildsite rostrel_testsupport LABELS addon)
    rostrel_add_test(test_addon_update SOURCES test_addon_update.cpp support/addonworld.h fakes.h
        LIBS rostrel_addon rostrel_platform rostrel_guildsite rostrel_testsupport LABELS addon)
    rostrel_add_test(test_addon_update_failures SOURCES test_addon_update_failures.cpp support/addonworld.h fakes.h
        LIBS rostrel_addon rostrel_platform rostrel_guildsite rostrel_testsupport LABELS addon)
endif()
