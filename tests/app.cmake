rostrel_add_test(test_messagelog SOURCES test_messagelog.cpp LIBS rostrel_log LABELS app)
rostrel_add_test(test_form1 SOURCES test_form1.cpp LIBS rostrel_form rostrel_tray LABELS app)
# Drives the whole program over a Wine prefix and the desktop's start-up entry.
if(NOT WIN32)
    rostrel_add_test(test_program SOURCES test_program.cpp LIBS rostrel_app rostrel_guildsite LABELS app)
endif()
# The window's look with the machine's own fonts and with DejaVu alone (a minimal desktop), on two
# screens. Needs the offscreen platform and Debian's font paths.
if(NOT WIN32)
    rostrel_add_test(test_formlook SOURCES test_formlook.cpp LIBS rostrel_form rostrel_tray LABELS app)
    configure_file(data/formlook/dejavu-fonts.conf.in dejavu-fonts.conf @ONLY)
    get_test_property(test_formlook ENVIRONMENT formlook_env)
    string(REPLACE "QT_QPA_PLATFORM=offscreen"
        "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_SOURCE_DIR}/data/formlook/screens.json" formlook_env
        "${formlook_env}")
    add_test(NAME test_formlook_dejavu COMMAND test_formlook)
    set_tests_properties(test_formlook PROPERTIES ENVIRONMENT "${formlook_env}")
    set_tests_properties(test_formlook_dejavu PROPERTIES TIMEOUT 120 LABELS app
        ENVIRONMENT "${formlook_env};ROSTREL_FONT_SET=dejavu;FONTCONFIG_FILE=${CMAKE_CURRENT_BINARY_DIR}/dejavu-fonts.conf")
endif()
