rostrel_add_test(test_messagelog SOURCES test_messagelog.cpp LIBS rostrel_log LABELS app)
rostrel_add_test(test_form1 SOURCES test_form1.cpp ${PROJECT_SOURCE_DIR}/src/app/form1.cpp
    ${PROJECT_SOURCE_DIR}/src/app/fontfit.cpp LIBS rostrel_tray LABELS app)
rostrel_add_test(test_program SOURCES test_program.cpp LIBS rostrel_app rostrel_guildsite LABELS app)
# The window's look under three font setups: the machine's own fonts, DejaVu alone (a minimal
# desktop), and DejaVu with its condensed faces.
rostrel_add_test(test_formlook SOURCES test_formlook.cpp ${PROJECT_SOURCE_DIR}/src/app/form1.cpp
    ${PROJECT_SOURCE_DIR}/src/app/fontfit.cpp LIBS rostrel_tray LABELS app)
get_test_property(test_formlook ENVIRONMENT formlook_env)
foreach(set dejavu dejavu-condensed)
    add_test(NAME test_formlook_${set} COMMAND test_formlook)
    set_tests_properties(test_formlook_${set} PROPERTIES TIMEOUT 120 LABELS app
        ENVIRONMENT "${formlook_env};ROSTREL_FONT_SET=${set}")
endforeach()
