rostrel_add_test(test_messagelog SOURCES test_messagelog.cpp LIBS rostrel_log LABELS app)
rostrel_add_test(test_form1 SOURCES test_form1.cpp ${PROJECT_SOURCE_DIR}/src/app/form1.cpp LIBS rostrel_tray LABELS app)
rostrel_add_test(test_program SOURCES test_program.cpp LIBS rostrel_app rostrel_guildsite LABELS app)
