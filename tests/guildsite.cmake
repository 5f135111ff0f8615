# The reference guild site, and the misbehaving server the fault tests use.
add_library(rostrel_testsupport STATIC support/faultserver.cpp support/faultserver.h)
target_link_libraries(rostrel_testsupport PUBLIC rostrel_common Qt6::Core Qt6::Network)
target_include_directories(rostrel_testsupport PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)

# The site itself is a Linux program (links, a case-sensitive file system): its own tests run there.
if(NOT WIN32)
    rostrel_add_test(test_guild_site_upload SOURCES test_guild_site_upload.cpp support/guildsitecheck.h
        LIBS rostrel_guildsite Qt6::Network LABELS guildsite)
    add_dependencies(test_guild_site_upload rostrel-guild-site)
    rostrel_add_test(test_guild_site_serving SOURCES test_guild_site_serving.cpp support/guildsitecheck.h
        LIBS rostrel_guildsite Qt6::Network LABELS guildsite)
    add_dependencies(test_guild_site_serving rostrel-guild-site)
    rostrel_add_test(test_guild_site_abuse SOURCES test_guild_site_abuse.cpp LIBS rostrel_guildsite Qt6::Network
        LABELS guildsite)
    add_dependencies(test_guild_site_abuse rostrel-guild-site)
endif()
rostrel_add_test(test_multipart SOURCES test_multipart.cpp LIBS rostrel_multipart LABELS guildsite)
rostrel_add_test(test_faultserver SOURCES support/test_faultserver.cpp LIBS rostrel_testsupport LABELS guildsite)
