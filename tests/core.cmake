# The bottom library.
rostrel_add_test(test_fileio SOURCES test_fileio.cpp LIBS rostrel_core LABELS core)
