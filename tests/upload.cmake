rostrel_add_test(test_upload SOURCES test_upload.cpp support/uploadworld.h
    LIBS rostrel_upload rostrel_platform rostrel_guildsite rostrel_testsupport LABELS upload)
rostrel_add_test(test_watcher SOURCES test_watcher.cpp support/uploadworld.h
    LIBS rostrel_upload rostrel_platform rostrel_guildsite rostrel_testsupport LABELS upload)
if(NOT WIN32) # the site's TLS server reads PEM keys, which the Windows TLS backend does not
    rostrel_add_test(test_tls SOURCES test_tls.cpp support/uploadworld.h
        LIBS rostrel_upload rostrel_addon rostrel_platform rostrel_guildsite LABELS upload)
endif()
rostrel_add_test(test_flavours SOURCES test_flavours.cpp support/uploadworld.h
    LIBS rostrel_upload rostrel_settings rostrel_platform rostrel_guildsite rostrel_testsupport LABELS upload)
