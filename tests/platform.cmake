# The platform layers.
if(NOT WIN32)
    rostrel_add_test(test_registry SOURCES test_registry.cpp support/wineregistry.h LIBS rostrel_platform
        LABELS platform)
    rostrel_add_test(test_registry_write SOURCES test_registry_write.cpp support/wineregistry.h
        LIBS rostrel_platform LABELS platform)
    rostrel_add_test(test_winereg_format SOURCES test_winereg_format.cpp LIBS rostrel_platform LABELS platform)
    rostrel_add_test(test_pathlayer SOURCES test_pathlayer.cpp LIBS rostrel_platform LABELS platform)
    rostrel_add_test(test_autostart SOURCES test_autostart.cpp LIBS rostrel_platform LABELS platform)
    rostrel_add_test(test_winefind SOURCES test_winefind.cpp LIBS rostrel_platform LABELS platform)
    rostrel_add_test(test_browser SOURCES test_browser.cpp LIBS rostrel_platform LABELS platform)
endif()
