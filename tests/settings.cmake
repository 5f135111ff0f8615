# Settings files and the start-up entry.
foreach(name test_settingsfiles test_startupentry)
    rostrel_add_test(${name} SOURCES ${name}.cpp fakes.h LIBS rostrel_settings rostrel_platform LABELS settings)
endforeach()
